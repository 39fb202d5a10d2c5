// The Webhook group's Test button without the dialog: one test alert at a time on a thread of
// its own, so the window keeps answering; a close of the dialog ends it at once.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "alert/AlertChannel.h"
#include "alert/WebhookChannel.h"
#include "model/AlertSettings.h"
#include "platform/Diagnostics.h"

namespace varnley {

class TestWebhookSender {
 public:
  TestWebhookSender();
  // Ends a test still on its way at once; its callback is not called then.
  ~TestWebhookSender();
  TestWebhookSender(const TestWebhookSender&) = delete;
  TestWebhookSender& operator=(const TestWebhookSender&) = delete;

  void setLimits(WebhookLimits limits) { limits_ = limits; }

  // Sends the test alert on the sender's thread and calls finished(outcome) there when it is
  // done. Refused while a test is still running or when no thread can be started.
  Status Start(const WebhookSettings& webhook, const std::string& source,
               std::function<void(const DeliveryOutcome&)> finished);
  // Whether a test was started and not yet collected by Finish().
  bool Running() const { return thread_.joinable(); }
  // Waits for the thread once its callback came (or at once if none runs).
  void Finish();
  // Ends a running test at once, without its callback.
  void Cancel();

 private:
  WebhookLimits limits_;
  std::unique_ptr<StopSource> stop_;  // one per test: a stop cannot be taken back
  std::thread thread_;
};

}  // namespace varnley
