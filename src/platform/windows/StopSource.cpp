#include "platform/StopSource.h"

#include "platform/windows/Winsock.h"

namespace varnley {

StopSource::StopSource() {
  SOCKET readEnd, writeEnd;
  if (!MakeWakePair(readEnd, writeEnd)) return;  // poll slices stand in for the wake-up
  wakeFd_ = SocketToInt(readEnd);
  signalFd_ = SocketToInt(writeEnd);
}

StopSource::~StopSource() {
  if (wakeFd_ >= 0) ::closesocket(IntToSocket(wakeFd_));
  if (signalFd_ >= 0) ::closesocket(IntToSocket(signalFd_));
}

void StopSource::requestStop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_.exchange(true, std::memory_order_acq_rel)) return;
  }
  cv_.notify_all();
  // The byte is never read: the read end stays readable for every later wait.
  if (signalFd_ >= 0) RaiseWake(IntToSocket(signalFd_));
}

bool StopSource::sleepFor(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  return !cv_.wait_for(lock, duration, [this] { return stopped_.load(std::memory_order_acquire); });
}

}  // namespace varnley
