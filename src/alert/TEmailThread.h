// The email sender: while monitoring runs, takes the queued alert texts one per interval and
// mails them through the mail channel, which tries a failure that may pass again (the texts
// queued meanwhile join it) and gives up on a lasting refusal.
#pragma once

#include <memory>
#include <string>

#include "alert/AlertMail.h"
#include "alert/ChannelWorker.h"
#include "model/AlertSettings.h"
#include "monitor/AlertQueues.h"
#include "monitor/Monitor.h"

namespace varnley {

class MailStatus;

class TEmailThread : public Worker {
 public:
  // The thread starts at once. Each mail's outcome goes to `status` when one is given.
  // `options` brings the retry schedule, the clock and the outbox (its feed is the sender's).
  TEmailThread(AlertQueues& queues, const AlertSettings& settings, MailStatus* status = nullptr,
               const MailLimits& limits = kSenderLimits, ChannelOptions options = {});
  // Construction without a thread, for driving passes by hand.
  struct NoThread {};
  TEmailThread(AlertQueues& queues, const AlertSettings& settings, NoThread,
               MailStatus* status = nullptr, const MailLimits& limits = kSenderLimits,
               ChannelOptions options = {});
  ~TEmailThread() override;

  void requestStop() override;
  void join() override;

  // One pass without the sleep that follows it: takes the first queued text (all of them
  // while a failed mail waits for its retry) and mails what is due. Returns whether a mail
  // was accepted by the server.
  bool runPass();
  // Texts taken from the queue and not yet delivered.
  std::size_t Pending() { return worker_->Pending(); }

  // The factory the monitor uses to make the sender when monitoring starts.
  static Monitor::EmailWorkerFactory Factory(MailStatus* status = nullptr,
                                             const MailLimits& limits = kSenderLimits,
                                             ChannelOptions options = {});

 private:
  static ChannelOptions withFeed(AlertQueues& queues, const AlertSettings& settings,
                                 ChannelOptions options);

  std::unique_ptr<ChannelWorker> worker_;
};

}  // namespace varnley
