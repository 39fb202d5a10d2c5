// The host table: the rows shared by the window, the settings file and the port worker,
// held under one mutex.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/MonitoredHost.h"

namespace varnley {

class HostTable {
 public:
  // Told after a row's content changed (row index) or after rows were added, removed or
  // replaced (kAllRows). Called on the thread that made the change, outside the lock.
  static constexpr std::size_t kAllRows = static_cast<std::size_t>(-1);
  using ChangeCallback = std::function<void(std::size_t row)>;

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  std::optional<MonitoredHost> row(std::size_t index) const;
  std::vector<MonitoredHost> snapshot() const;
  // Runs fn on the rows under the lock, for a reader that takes several at once.
  void read(const std::function<void(const std::vector<MonitoredHost>&)>& fn) const;
  // Index of the first row whose host has the same stored form ("::0001" finds "::1"; a name
  // and the address it resolves to are different hosts).
  std::optional<std::size_t> find(const std::string& host) const;

  void append(MonitoredHost host);
  bool remove(std::size_t index);
  void replaceAll(std::vector<MonitoredHost> rows);
  // Runs fn on the row under the lock; false when the row does not exist.
  bool update(std::size_t index, const std::function<void(MonitoredHost&)>& fn);
  // Clears every row's deactivated ports and port states.
  void clearDeactivated();

  // The state the last probe of a port left (state.entry as listed), replacing the port's
  // older one; only while the row still has that host (a row edited while its probe ran
  // keeps nothing stale). Tells no one: readers ask when they show it.
  bool setPortState(std::size_t index, const std::string& host, PortState state);
  // The row's port states, empty when none was probed yet or the row does not exist.
  std::vector<PortState> portStates(std::size_t index) const;
  // DownReasonsText of the row, for the "Deactivated Ports" cell's tooltip; "" without a row.
  std::string downReasons(std::size_t index) const;
  // Why each port the last probes found down is down, by "host:port" as HostPortText writes
  // it ("[2001:db8::10]:443"): one pass over the table for a whole dispatch.
  std::unordered_map<std::string, std::string> downReasonsByPort() const;

  void setChangeCallback(ChangeCallback callback);

 private:
  void notify(std::size_t row) const;

  mutable std::mutex mutex_;
  std::vector<MonitoredHost> rows_;
  std::vector<std::vector<PortState>> states_;  // beside rows_, as long or shorter
  mutable std::mutex callbackMutex_;
  ChangeCallback callback_;
};

// One line per deactivated port of the row, "host:port: reason" ("[v6]:port: reason";
// without the reason when none of the states knows it).
std::string DownReasonsText(const MonitoredHost& row, const std::vector<PortState>& states);

}  // namespace varnley
