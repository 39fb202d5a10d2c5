#include "alert/TestWebhookSender.h"

#include "platform/StopSource.h"

namespace varnley {

Status TestWebhookSender::Start(const WebhookSettings& webhook, const std::string& source,
                                std::function<void(const DeliveryOutcome&)> finished) {
  return test_.Start(
      [webhook, source, limits = limits_, finished = std::move(finished)](StopSource& stop) {
        const DeliveryOutcome outcome = SendTestWebhook(webhook, source, stop, limits);
        if (!stop.stopRequested() && finished) finished(outcome);
      },
      "a test alert is already on its way");
}

}  // namespace varnley
