// The alert mail as an alert channel: one mail per try over a fresh SMTP session, to the
// account the settings hold at the time of the try.
#pragma once

#include <functional>

#include "alert/AlertChannel.h"
#include "alert/AlertMail.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"

namespace varnley {

class MailChannel : public AlertChannel {
 public:
  MailChannel(std::function<MailAccount()> account, const MailLimits& limits = kSenderLimits);

  std::string Name() const override { return "mail"; }
  DeliveryOutcome Deliver(const Alert& alert, StopSource& stop) override;

 private:
  std::function<MailAccount()> account_;
  MailLimits limits_;
  TIdSMTP client_;
  TIdMessage message_;
};

}  // namespace varnley
