// The email sender: while monitoring runs, mails one queued alert text per interval.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "alert/AlertMail.h"
#include "model/AlertSettings.h"
#include "monitor/AlertQueues.h"
#include "monitor/Monitor.h"
#include "platform/StopSource.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"

namespace varnley {

class MailStatus;

class TEmailThread : public Worker {
 public:
  // The thread starts at once. Each mail's outcome goes to `status` when one is given.
  TEmailThread(AlertQueues& queues, const AlertSettings& settings, MailStatus* status = nullptr,
               const MailLimits& limits = kSenderLimits);
  // Construction without a thread, for driving passes by hand.
  struct NoThread {};
  TEmailThread(AlertQueues& queues, const AlertSettings& settings, NoThread,
               MailStatus* status = nullptr, const MailLimits& limits = kSenderLimits);
  ~TEmailThread() override;

  void requestStop() override;
  void join() override;

  // One pass without the sleep that follows it: takes the first queued text, if the queue is
  // free and not empty, and mails it. Returns whether a mail was accepted by the server.
  bool runPass();

  // The factory the monitor uses to make the sender when monitoring starts.
  static Monitor::EmailWorkerFactory Factory(MailStatus* status = nullptr,
                                             const MailLimits& limits = kSenderLimits);

 private:
  void run();

  AlertQueues& queues_;
  const AlertSettings& settings_;
  MailStatus* status_;
  StopSource stop_;
  // Used by this thread alone.
  TIdSMTP client_;
  TIdMessage message_;
  std::thread thread_;
};

}  // namespace varnley
