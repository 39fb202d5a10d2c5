#include "alert/TestWebhookSender.h"

#include <system_error>

#include "platform/StopSource.h"

namespace varnley {

TestWebhookSender::TestWebhookSender() = default;

TestWebhookSender::~TestWebhookSender() { Cancel(); }

void TestWebhookSender::Cancel() {
  if (!thread_.joinable()) return;
  stop_->requestStop();
  thread_.join();
}

Status TestWebhookSender::Start(const WebhookSettings& webhook, const std::string& source,
                                std::function<void(const DeliveryOutcome&)> finished) {
  if (Running()) return Status::Fail("a test alert is already on its way");
  stop_ = std::make_unique<StopSource>();
  try {
    // The stop source is the thread's until Finish() or Cancel() collects it.
    thread_ =
        std::thread([this, webhook, source, limits = limits_, finished = std::move(finished)] {
          const DeliveryOutcome outcome = SendTestWebhook(webhook, source, *stop_, limits);
          if (!stop_->stopRequested() && finished) finished(outcome);
        });
  } catch (const std::system_error& e) {
    return Status::Fail(e.what());
  }
  return Status::Ok();
}

void TestWebhookSender::Finish() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace varnley
