#include "service/HistoryStatus.h"

#include <chrono>
#include <map>

#include "history/HistoryQueries.h"

namespace varnley {

namespace {

HistoryTime ToHistory(StatusTime t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

StatusTime FromHistory(HistoryTime ms) { return StatusTime(std::chrono::milliseconds(ms)); }

std::optional<double> Share(const Uptime& uptime) {
  const std::optional<double> percent = uptime.percent();
  if (!percent) return std::nullopt;
  return *percent / 100.0;
}

}  // namespace

HistoryStatus::HistoryStatus(std::string path, HistoryClock clock)
    : path_(std::move(path)), clock_(clock ? std::move(clock) : HistoryClock(SystemHistoryTime)) {}
HistoryStatus::~HistoryStatus() = default;

HistoryReader* HistoryStatus::reader() const {
  if (!reader_) {
    Status status;
    reader_ = HistoryReader::Open(path_, status);
  }
  return reader_.get();
}

std::vector<PortHistory> HistoryStatus::Ports(const std::vector<StatusPortKey>& ports,
                                              StatusTime now) const {
  std::vector<PortHistory> out(ports.size());
  std::lock_guard lock(mutex_);
  HistoryReader* history = reader();
  if (!history) return out;
  const HistoryTime at = ToHistory(now);
  const HistoryReader::Overview overview = history->Read(at, 30 * kDayMs);
  std::map<PortKey, const PortSummary*> byKey;
  for (const PortSummary& summary : overview.summaries) byKey[summary.key] = &summary;
  std::map<PortKey, const Outage*> ongoing;
  for (const Outage& outage : overview.outages)
    if (outage.ongoing) ongoing.try_emplace(outage.key, &outage);  // newest first

  for (std::size_t i = 0; i < ports.size(); ++i) {
    const PortKey key{ports[i].host, ports[i].port};
    const auto found = byKey.find(key);
    if (found == byKey.end()) continue;  // nothing kept for it: every field stays "no data"
    const PortSummary& summary = *found->second;
    PortHistory& port = out[i];
    if (summary.monitored) port.since = FromHistory(summary.since);
    if (const auto down = ongoing.find(key); down != ongoing.end() && !summary.up)
      port.reason = down->second->reason;
    port.uptime24h = Share(summary.day);
    port.uptime30d = Share(summary.month);
    const std::vector<StripCell> cells =
        history->Strip(key, at - kDayMs, at, static_cast<int>(kStatusStripCells));
    for (std::size_t c = 0; c < cells.size() && c < kStatusStripCells; ++c)
      port.strip[c] = cells[c].coverage > 0 ? static_cast<float>(cells[c].up) : kStripNoData;
  }
  return out;
}

std::vector<StatusOutage> HistoryStatus::Outages(std::size_t limit) const {
  std::vector<StatusOutage> out;
  std::lock_guard lock(mutex_);
  HistoryReader* history = reader();
  if (!history) return out;
  const HistoryTime now = clock_();
  for (const Outage& outage : history->Outages(now - 30 * kDayMs, now)) {
    if (out.size() >= limit) break;
    StatusOutage& row = out.emplace_back();
    row.start = FromHistory(outage.start);
    if (!outage.ongoing) row.end = FromHistory(outage.end);
    row.host = outage.key.host;
    row.port = outage.key.port;
    row.reason = outage.reason;
    row.alertsSent = static_cast<int>(outage.alerts.size());
  }
  return out;
}

}  // namespace varnley
