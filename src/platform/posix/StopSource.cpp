#include "platform/StopSource.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace varnley {

StopSource::StopSource() { signalFd_ = wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

StopSource::~StopSource() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void StopSource::requestStop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_.exchange(true, std::memory_order_acq_rel)) return;
  }
  cv_.notify_all();
  if (signalFd_ >= 0) {
    std::uint64_t one = 1;
    // The counter only needs to become non-zero; a failed write leaves poll slices as fallback.
    [[maybe_unused]] auto n = ::write(signalFd_, &one, sizeof one);
  }
}

bool StopSource::sleepFor(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  return !cv_.wait_for(lock, duration, [this] { return stopped_.load(std::memory_order_acquire); });
}

}  // namespace varnley
