// What every probe of the port worker found, handed to whoever keeps count: the metrics
// endpoint, and anything else that follows the ports besides the table's DOWN and UP state.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace varnley {

struct PortResult {
  std::string host;
  int port = 0;
  bool open = false;
  std::chrono::nanoseconds duration{0};  // of the probe that settled the result
  // Why it is not open ("refused", "timed out", "no such name", "name server failure",
  // "no answer from the name servers"; "" when open) and the address that answered or was
  // tried last ("" when none was): PortAnswer's.
  std::string reason{};
  std::string address{};
  bool unresolved = false;  // the name gave no address to try
};

class ProbeResults {
 public:
  // Called on the worker's thread once per pass with that pass's results, so it must be quick.
  using Listener = std::function<void(const std::vector<PortResult>& results)>;

  // Returns a number for Unsubscribe. Once Unsubscribe returns, the listener is not running
  // and will not run again.
  std::size_t Subscribe(Listener listener);
  void Unsubscribe(std::size_t id);
  void Publish(const std::vector<PortResult>& results) const;

 private:
  mutable std::mutex mutex_;
  std::size_t nextId_ = 1;
  std::vector<std::pair<std::size_t, Listener>> listeners_;
};

}  // namespace varnley
