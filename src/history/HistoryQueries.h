// What the history file says, read through a connection of its own that never writes and
// never waits on the writer: uptime from the state intervals, outages with their alerts,
// strips and connect-time series. The window, the report and the status page read here.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "history/HistoryFile.h"

namespace varnley {

// Time-weighted, from the intervals each port spent UP or DOWN while monitored; time without
// monitoring counts neither way.
struct Uptime {
  HistoryTime window = 0;  // the length asked about
  HistoryTime up = 0;
  HistoryTime down = 0;

  HistoryTime covered() const { return up + down; }
  // Over the time with data; nullopt when there was none.
  std::optional<double> percent() const {
    if (covered() <= 0) return std::nullopt;
    return 100.0 * static_cast<double>(up) / static_cast<double>(covered());
  }
  // How much of the window had data, 0..100.
  double coverage() const {
    return window > 0 ? 100.0 * static_cast<double>(covered()) / static_cast<double>(window) : 0.0;
  }
};

struct PortKey {
  std::string host;
  int port = 0;
  auto operator<=>(const PortKey&) const = default;
  std::string text() const { return host + ':' + std::to_string(port); }
};

struct PortSummary {
  PortKey key;
  bool monitored = false;  // watched now (its last interval reaches the present)
  bool up = false;         // the state of its last interval
  HistoryTime since = 0;   // when that state began, across restarts
  Uptime day, week, month;
  int outages = 0;  // that overlap the last 30 days
  Uptime span;      // over the window Summaries was asked for
  int spanOutages = 0;
  std::optional<double> meanConnectMs;  // over the last 24 hours
};

struct AlertRecord {
  HistoryTime time = 0;
  std::string channel;  // "box", "mail", ...
  std::string state;    // "DOWN" or "UP"
  std::string outcome;  // "shown", "queued", "sent", "failed", "handed"
  std::string reason;
  std::optional<HistoryTime> settled;
};

struct Outage {
  PortKey key;
  HistoryTime start = 0;
  HistoryTime end = 0;   // when it was seen UP again, or the last time it was seen DOWN
  bool ended = false;    // seen UP again
  bool ongoing = false;  // still DOWN and still monitored
  std::string reason;
  std::vector<AlertRecord> alerts;
  HistoryTime length() const { return end - start; }
};

// One cell of a strip: the share of its time with data that was UP, and how much had data.
struct StripCell {
  double up = 0;        // 0..1 of the covered time
  double coverage = 0;  // 0..1 of the cell; 0 is "no data"
};

struct SeriesPoint {
  HistoryTime time = 0;  // the bucket's start
  double minMs = 0, meanMs = 0, maxMs = 0;
  std::int64_t probes = 0, successes = 0;
};

class HistoryReader {
 public:
  static std::unique_ptr<HistoryReader> Open(const std::string& path, Status& status);

  // Every port with data in the 30 days (or `span`, if longer) before now, by host and port.
  std::vector<PortSummary> Summaries(HistoryTime now, HistoryTime span = 30 * kDayMs);
  // Both of the above from one read of the intervals: the window's summaries with `span`, and
  // the outages of the last `span`.
  struct Overview {
    std::vector<PortSummary> summaries;
    std::vector<Outage> outages;
  };
  Overview Read(HistoryTime now, HistoryTime span = 30 * kDayMs);
  Uptime UptimeOf(const PortKey& key, HistoryTime from, HistoryTime to);
  // Outages overlapping [from, to), newest first; one port only when `only` is given.
  std::vector<Outage> Outages(HistoryTime from, HistoryTime to,
                              const std::optional<PortKey>& only = std::nullopt);
  std::vector<StripCell> Strip(const PortKey& key, HistoryTime from, HistoryTime to, int cells);
  // Minute buckets for windows up to 48 hours, hour buckets for longer ones.
  std::vector<SeriesPoint> Series(const PortKey& key, HistoryTime from, HistoryTime to);

 private:
  struct Interval {
    HistoryTime start, end;
    bool up;
    std::string reason;
  };
  using IntervalsByPort = std::unordered_map<std::int64_t, std::vector<Interval>>;
  HistoryReader() = default;
  std::map<std::int64_t, PortKey> ports();
  std::optional<std::int64_t> idOf(const PortKey& key);
  // Intervals ending after `from` and starting before `to`, by port and start.
  IntervalsByPort intervals(HistoryTime from, HistoryTime to, std::optional<std::int64_t> only);
  std::vector<PortSummary> summariesOf(const std::map<std::int64_t, PortKey>& names,
                                       const IntervalsByPort& all, HistoryTime now,
                                       HistoryTime span, std::vector<Outage>* outages = nullptr);
  // Finds each outage's alerts and puts the newest first.
  void attachAlerts(std::vector<Outage>& outages, HistoryTime from, HistoryTime to);
  std::vector<Outage> outagesOf(const std::map<std::int64_t, PortKey>& names,
                                const IntervalsByPort& all, HistoryTime from, HistoryTime to);
  std::vector<Outage> outagesOf(const PortKey& key, const std::vector<Interval>& runs,
                                HistoryTime now);

  SqliteDb db_;
};

}  // namespace varnley
