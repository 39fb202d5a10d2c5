#include "alert/TestMailer.h"

#include <system_error>

#include "platform/StopSource.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"

namespace varnley {

TestMailer::TestMailer() = default;

TestMailer::~TestMailer() { Cancel(); }

void TestMailer::Cancel() {
  if (!thread_.joinable()) return;
  stop_->requestStop();
  thread_.join();
  // A stop cannot be taken back: the next test gets a fresh client.
  client_.reset();
}

Status TestMailer::Start(const MailAccount& account, std::function<void(bool sent)> finished) {
  if (Running()) return Status::Fail("a test mail is already on its way");
  if (!client_) {
    client_ = std::make_unique<TIdSMTP>();
    message_ = std::make_unique<TIdMessage>();
    stop_ = std::make_unique<StopSource>();
    client_->SetStopSource(stop_.get());
  }
  const int waitMs = static_cast<int>(wait_.count());
  ApplyLimits(*client_, {waitMs, waitMs, 0});
  try {
    // The client and the message are the thread's until Finish() collects it.
    thread_ = std::thread([this, account, finished = std::move(finished)] {
      const bool sent = SendTestMail(*client_, *message_, account, {});
      if (!stop_->stopRequested() && finished) finished(sent);
    });
  } catch (const std::system_error& e) {
    return Status::Fail(e.what());
  }
  return Status::Ok();
}

void TestMailer::Finish() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace varnley
