#include "monitor/ProbeResults.h"

#include <algorithm>
#include <utility>

namespace varnley {

std::size_t ProbeResults::Subscribe(Listener listener) {
  std::lock_guard lock(mutex_);
  listeners_.emplace_back(nextId_, std::move(listener));
  return nextId_++;
}

void ProbeResults::Unsubscribe(std::size_t id) {
  std::lock_guard lock(mutex_);
  std::erase_if(listeners_, [id](const auto& entry) { return entry.first == id; });
}

void ProbeResults::Publish(const std::vector<PortResult>& results) const {
  if (results.empty()) return;
  // Held while the listeners run, so Unsubscribe waits for a call in progress.
  std::lock_guard lock(mutex_);
  for (const auto& entry : listeners_) entry.second(results);
}

}  // namespace varnley
