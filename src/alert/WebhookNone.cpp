// The build without libcurl: mail and notifications work, webhooks do not, and that is said.
#include <mutex>

#include "alert/WebhookChannel.h"
#include "platform/Diagnostics.h"

namespace varnley {

bool WebhooksBuiltIn() { return false; }

std::unique_ptr<AlertChannel> MakeWebhookChannel(int, WebhookSettings webhook, std::string,
                                                 WebhookLimits) {
  static std::once_flag once;
  if (!webhook.url.empty())
    std::call_once(once, [] {
      StderrDiagnostics().Report(Severity::Warning,
                                 "Varnley: webhooks are not in this build; [webhookN] is ignored.");
    });
  return nullptr;
}

DeliveryOutcome SendTestWebhook(const WebhookSettings&, const std::string&, StopSource&,
                                WebhookLimits) {
  return DeliveryOutcome::Refused("webhooks are not in this build");
}

}  // namespace varnley
