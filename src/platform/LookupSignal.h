// What a name lookup's caller waits on for the worker's answer, beside a stop request. Each
// system's TcpSocket.cpp implements it with what its waits can watch.
#pragma once

#include "platform/TcpSocket.h"

namespace varnley {

class StopSource;

class LookupSignal {
 public:
  LookupSignal();
  ~LookupSignal();
  LookupSignal(const LookupSignal&) = delete;
  LookupSignal& operator=(const LookupSignal&) = delete;

  int error() const { return error_; }  // 0, or the Winsock code of a failed creation
  void raise();                         // once, from the worker
  // Like every socket wait: ok once raised, or stopped, timedOut.
  IoResult wait(const Deadline& deadline, const StopSource* stop);

 private:
  int read_ = -1;
  int write_ = -1;
  int error_ = 0;
};

}  // namespace varnley
