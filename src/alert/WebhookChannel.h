// One [webhookN] as an alert channel: an HTTP(S) POST through libcurl's multi interface on the
// channel's own thread, cut short by the stop request. Redirects are not followed, the answer
// is read up to a cap, TLS is verified through the system's store unless verify=0.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "alert/AlertChannel.h"
#include "model/AlertSettings.h"

namespace varnley {

struct WebhookLimits {
  std::chrono::milliseconds connect{10000};
  std::chrono::milliseconds request{30000};  // the whole request, connect included
  std::size_t maxResponse = 64 * 1024;       // bytes of the answer read at most
};

// Whether this build has webhooks (the Windows cross-build has no libcurl).
bool WebhooksBuiltIn();

// The channel for webhook `number` (1..kWebhookCount); `source` is the computer's name the
// json format carries. Null when this build has no webhooks (said once on stderr).
std::unique_ptr<AlertChannel> MakeWebhookChannel(int number, WebhookSettings webhook,
                                                 std::string source, WebhookLimits limits = {});

// The alert dialog's Test button: one try with a test alert, at once, no retries.
DeliveryOutcome SendTestWebhook(const WebhookSettings& webhook, const std::string& source,
                                StopSource& stop, WebhookLimits limits = {});

}  // namespace varnley
