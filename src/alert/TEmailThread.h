// The email sender: while monitoring runs, mails one queued alert text per interval.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "model/AlertSettings.h"
#include "monitor/AlertQueues.h"
#include "monitor/Monitor.h"
#include "platform/StopSource.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"

namespace varnley {

class TEmailThread : public Worker {
 public:
  // The thread starts at once.
  TEmailThread(AlertQueues& queues, const AlertSettings& settings);
  // Construction without a thread, for driving passes by hand.
  struct NoThread {};
  TEmailThread(AlertQueues& queues, const AlertSettings& settings, NoThread);
  ~TEmailThread() override;

  void requestStop() override;
  void join() override;

  // One pass without the sleep that follows it: takes the first queued text, if the queue is
  // free and not empty, and mails it. Returns whether a mail was accepted by the server.
  bool runPass();

  // The factory the monitor uses to make the sender when monitoring starts.
  static Monitor::EmailWorkerFactory Factory();

 private:
  void run();

  AlertQueues& queues_;
  const AlertSettings& settings_;
  StopSource stop_;
  // Used by this thread alone.
  TIdSMTP client_;
  TIdMessage message_;
  std::thread thread_;
};

}  // namespace varnley
