#include "alert/MailChannel.h"

#include <utility>

#include "platform/StopSource.h"

namespace varnley {

MailChannel::MailChannel(std::function<MailAccount()> account, const MailLimits& limits)
    : account_(std::move(account)), limits_(limits) {}

DeliveryOutcome MailChannel::Deliver(const Alert& alert, StopSource& stop) {
  // A stop request cuts a lookup, a connect or a reply wait short instead of waiting out the
  // server; the limits end a session that a server holds on to.
  client_.SetStopSource(&stop);
  ApplyLimits(client_, limits_);
  MailResult result = SendAlertMail(client_, message_, account_(), alert.text);
  if (result.sent) return DeliveryOutcome::Sent();
  if (result.cancelled) return DeliveryOutcome::Cancelled();
  if (result.temporary) return DeliveryOutcome::Retry(std::move(result.error));
  return DeliveryOutcome::Refused(std::move(result.error));
}

}  // namespace varnley
