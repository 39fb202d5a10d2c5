// What the status page asks of the history: each port's uptime and its last 24 hours in
// half-hour cells, and the last outages. The history implements it over its database; the page
// is rendered without it when there is none.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace varnley {

using StatusTime = std::chrono::system_clock::time_point;

struct StatusPortKey {
  std::string host;
  int port = 0;
};

inline constexpr std::size_t kStatusStripCells = 48;  // half hours in 24 hours
inline constexpr float kStripNoData = -1;  // a cell of the strip the history has nothing for

struct PortHistory {
  std::optional<StatusTime> since;  // start of the port's present state, as far as kept
  std::string reason;               // why it is down now; "" when it is up
  std::optional<double> uptime24h;  // share of the time up, 0..1; nullopt without data
  std::optional<double> uptime30d;
  // Share of each half hour the port was up (0..1, or kStripNoData), oldest first, the last
  // cell ending now. Floats: the page for 10,000 ports holds 10,000 of these.
  std::array<float, kStatusStripCells> strip;

  PortHistory() { strip.fill(kStripNoData); }
};

struct StatusOutage {
  StatusTime start;
  std::optional<StatusTime> end;  // nullopt while it lasts
  std::string host;
  int port = 0;
  std::string reason;
  int alertsSent = 0;
};

class StatusHistory {
 public:
  virtual ~StatusHistory() = default;
  // One entry per key, in the keys' order. Called on the metrics server's thread beside the
  // history's own writer, for every page; it must not wait on the writer for long.
  virtual std::vector<PortHistory> Ports(const std::vector<StatusPortKey>& ports,
                                         StatusTime now) const = 0;
  // The most recent outages first, at most `limit`.
  virtual std::vector<StatusOutage> Outages(std::size_t limit) const = 0;
};

}  // namespace varnley
