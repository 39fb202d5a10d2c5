// The Webhook group's Test button without the dialog: one test alert at a time on a thread of
// its own, so the window keeps answering; a close of the dialog ends it at once.
#pragma once

#include <functional>
#include <string>

#include "alert/AlertChannel.h"
#include "alert/BackgroundTest.h"
#include "alert/WebhookChannel.h"
#include "model/AlertSettings.h"
#include "platform/Diagnostics.h"

namespace varnley {

class TestWebhookSender {
 public:
  void setLimits(WebhookLimits limits) { limits_ = limits; }

  // Sends the test alert on the sender's thread and calls finished(outcome) there when it is
  // done. Refused while a test is still running or when no thread can be started.
  Status Start(const WebhookSettings& webhook, const std::string& source,
               std::function<void(const DeliveryOutcome&)> finished);
  // Whether a test was started and not yet collected by Finish().
  bool Running() const { return test_.Running(); }
  // Waits for the thread once its callback came (or at once if none runs).
  void Finish() { test_.Finish(); }
  // Ends a running test at once, without its callback (as the destructor does).
  void Cancel() { test_.Cancel(); }

 private:
  WebhookLimits limits_;
  BackgroundTest test_;
};

}  // namespace varnley
