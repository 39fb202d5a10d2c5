// A stop request that every worker wait can be cut short by: sleeps wait on a condition
// variable, socket I/O polls the wake-up descriptor beside its socket (an event counter on
// Linux, the read end of a loopback socket pair on Windows).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace varnley {

class StopSource {
 public:
  StopSource();
  ~StopSource();
  StopSource(const StopSource&) = delete;
  StopSource& operator=(const StopSource&) = delete;

  void requestStop();
  bool stopRequested() const { return stopped_.load(std::memory_order_acquire); }

  // Sleeps for the given time; returns false when a stop request ended the sleep early
  // (or had already been made).
  bool sleepFor(std::chrono::milliseconds duration);

  // A descriptor that becomes readable once a stop has been requested (-1 if the system
  // could not provide one; I/O then falls back to short poll slices).
  int wakeDescriptor() const { return wakeFd_; }

 private:
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
  int wakeFd_ = -1;
  int signalFd_ = -1;  // what requestStop writes to: the wake descriptor itself, or its peer
};

}  // namespace varnley
