#include "history/HistoryQueries.h"

#include <sqlite3.h>

#include <algorithm>
#include <unordered_map>

#include "history/HistoryAggregates.h"

namespace varnley {

namespace {

// An interval whose end is this close to now is the present: its session still writes.
constexpr HistoryTime kLive = 15'000;
// An alert belongs to an outage when sent from a little before its start (the dispatch runs
// every two seconds) to a while after its end (the UP alert).
constexpr HistoryTime kAlertBefore = 5'000;
constexpr HistoryTime kAlertAfter = 2 * kMinuteMs;

HistoryTime FloorTo(HistoryTime time, HistoryTime unit) {
  const HistoryTime q = time / unit;
  return (time < 0 && q * unit != time ? q - 1 : q) * unit;
}

void AddClipped(Uptime& uptime, HistoryTime start, HistoryTime end, bool up, HistoryTime from,
                HistoryTime to) {
  const HistoryTime a = std::max(start, from), b = std::min(end, to);
  if (b <= a) return;
  (up ? uptime.up : uptime.down) += b - a;
}

SeriesPoint PointOf(HistoryTime time, const Aggregate& a) {
  SeriesPoint point;
  point.time = time;
  point.probes = a.probes;
  point.successes = a.successes;
  if (a.successes) {
    point.minMs = static_cast<double>(a.minUs) / 1000.0;
    point.meanMs = a.meanUs() / 1000.0;
    point.maxMs = static_cast<double>(a.maxUs) / 1000.0;
  }
  return point;
}

Aggregate AggregateOf(const SqliteStatement& row, int first) {
  return {row.integer(first), row.integer(first + 1), row.integer(first + 2),
          row.integer(first + 3), row.integer(first + 4)};
}

}  // namespace

std::unique_ptr<HistoryReader> HistoryReader::Open(const std::string& path, Status& status) {
  std::unique_ptr<HistoryReader> reader(new HistoryReader());
  status = OpenHistoryForReading(reader->db_, path);
  if (!status) return nullptr;
  return reader;
}

std::map<std::int64_t, PortKey> HistoryReader::ports() {
  std::map<std::int64_t, PortKey> result;
  SqliteStatement select = db_.prepare("SELECT id, host, port FROM ports");
  while (select.step() == SQLITE_ROW)
    result[select.integer(0)] = {select.text(1), static_cast<int>(select.integer(2))};
  return result;
}

std::optional<std::int64_t> HistoryReader::idOf(const PortKey& key) {
  SqliteStatement select = db_.prepare("SELECT id FROM ports WHERE host = ? AND port = ?");
  select.bind(1, key.host).bind(2, std::int64_t{key.port});
  if (select.step() != SQLITE_ROW) return std::nullopt;
  return select.integer(0);
}

HistoryReader::IntervalsByPort HistoryReader::intervals(HistoryTime from, HistoryTime to,
                                                        std::optional<std::int64_t> only) {
  // An open run lasts as long as its session was heard of: a killed copy's runs end where
  // its last commit left them.
  std::unordered_map<std::int64_t, HistoryTime> sessionEnd;
  SqliteStatement sessions = db_.prepare("SELECT id, last FROM sessions");
  while (sessions.step() == SQLITE_ROW) sessionEnd[sessions.integer(0)] = sessions.integer(1);
  // The stored end of an open run lags by up to half a minute, hence the margin; the exact
  // cut is made below. By end, so that a month of a long history is a range of the index.
  std::string sql =
      "SELECT port_id, state = 'UP', start, end, open, session_id, reason FROM runs "
      "WHERE end > ?1 AND start < ?2";
  if (only) sql += " AND port_id = ?3";
  SqliteStatement select = db_.prepare(sql);
  select.bind(1, from - 2 * kMinuteMs).bind(2, to);
  if (only) select.bind(3, *only);
  IntervalsByPort result;
  while (select.step() == SQLITE_ROW) {
    HistoryTime end = select.integer(3);
    if (select.integer(4) != 0) {
      const auto it = sessionEnd.find(select.integer(5));
      if (it != sessionEnd.end()) end = std::max(end, it->second);
    }
    if (end <= from) continue;
    result[select.integer(0)].push_back(
        {select.integer(2), end, select.integer(1) != 0, select.text(6)});
  }
  for (auto& [id, runs] : result)
    std::sort(runs.begin(), runs.end(),
              [](const Interval& a, const Interval& b) { return a.start < b.start; });
  return result;
}

std::vector<Outage> HistoryReader::outagesOf(const PortKey& key, const std::vector<Interval>& runs,
                                             HistoryTime now) {
  std::vector<Outage> result;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].up) continue;
    // DOWN runs with no UP between them are one outage, across a restart of the program.
    Outage outage;
    outage.key = key;
    outage.start = runs[i].start;
    outage.reason = runs[i].reason;
    std::size_t j = i;
    while (j + 1 < runs.size() && !runs[j + 1].up) ++j;
    if (j + 1 < runs.size()) {
      outage.end = runs[j + 1].start;
      outage.ended = true;
    } else {
      outage.end = std::min(runs[j].end, now);
      outage.ongoing = runs[j].end >= now - kLive;
    }
    result.push_back(std::move(outage));
    i = j;
  }
  return result;
}

Uptime HistoryReader::UptimeOf(const PortKey& key, HistoryTime from, HistoryTime to) {
  Uptime uptime;
  uptime.window = to - from;
  const auto id = idOf(key);
  if (!id) return uptime;
  const auto runs = intervals(from, to, id);
  if (const auto it = runs.find(*id); it != runs.end())
    for (const Interval& run : it->second) AddClipped(uptime, run.start, run.end, run.up, from, to);
  return uptime;
}

std::vector<PortSummary> HistoryReader::Summaries(HistoryTime now, HistoryTime span) {
  const auto names = ports();
  return summariesOf(names, intervals(std::min(now - 30 * kDayMs, now - span), now, std::nullopt),
                     now, span);
}

HistoryReader::Overview HistoryReader::Read(HistoryTime now, HistoryTime span) {
  const auto names = ports();
  const auto all = intervals(std::min(now - 30 * kDayMs, now - span), now, std::nullopt);
  Overview overview;
  overview.summaries = summariesOf(names, all, now, span, &overview.outages);
  attachAlerts(overview.outages, now - span, now);
  return overview;
}

std::vector<PortSummary> HistoryReader::summariesOf(const std::map<std::int64_t, PortKey>& names,
                                                    const IntervalsByPort& all, HistoryTime now,
                                                    HistoryTime span,
                                                    std::vector<Outage>* outages) {
  const HistoryTime monthFrom = now - 30 * kDayMs;
  const HistoryTime spanFrom = now - span;

  std::map<std::int64_t, Aggregate> connect;
  SqliteStatement hours = db_.prepare(
      "SELECT port_id, sum(probes), sum(successes), min(min_us), sum(sum_us), max(max_us) "
      "FROM hours WHERE hour >= ? GROUP BY port_id");
  hours.bind(1, FloorTo(now - kDayMs, kHourMs));
  while (hours.step() == SQLITE_ROW) connect[hours.integer(0)] = AggregateOf(hours, 1);

  std::vector<PortSummary> result;
  for (const auto& [id, runs] : all) {
    const auto name = names.find(id);
    if (name == names.end() || runs.empty()) continue;
    PortSummary summary;
    summary.key = name->second;
    summary.day.window = kDayMs;
    summary.week.window = 7 * kDayMs;
    summary.month.window = 30 * kDayMs;
    summary.span.window = span;
    for (const Interval& run : runs) {
      AddClipped(summary.span, run.start, run.end, run.up, spanFrom, now);
      AddClipped(summary.day, run.start, run.end, run.up, now - kDayMs, now);
      AddClipped(summary.week, run.start, run.end, run.up, now - 7 * kDayMs, now);
      AddClipped(summary.month, run.start, run.end, run.up, monthFrom, now);
    }
    const Interval& last = runs.back();
    summary.up = last.up;
    summary.monitored = last.end >= now - kLive;
    std::size_t first = runs.size() - 1;
    while (first > 0 && runs[first - 1].up == last.up) --first;
    summary.since = runs[first].start;
    for (Outage& outage : outagesOf(summary.key, runs, now)) {
      summary.outages += outage.end >= monthFrom ? 1 : 0;
      if (outage.end < spanFrom) continue;
      ++summary.spanOutages;
      if (outages) outages->push_back(std::move(outage));
    }
    if (const auto it = connect.find(id); it != connect.end() && it->second.successes > 0)
      summary.meanConnectMs = it->second.meanUs() / 1000.0;
    result.push_back(std::move(summary));
  }
  std::sort(result.begin(), result.end(),
            [](const PortSummary& a, const PortSummary& b) { return a.key < b.key; });
  return result;
}

std::vector<Outage> HistoryReader::Outages(HistoryTime from, HistoryTime to,
                                           const std::optional<PortKey>& only) {
  std::optional<std::int64_t> onlyId;
  if (only) {
    onlyId = idOf(*only);
    if (!onlyId) return {};
  }
  return outagesOf(ports(), intervals(from, to, onlyId), from, to);
}

std::vector<Outage> HistoryReader::outagesOf(const std::map<std::int64_t, PortKey>& names,
                                             const IntervalsByPort& all, HistoryTime from,
                                             HistoryTime to) {
  std::vector<Outage> result;
  for (const auto& [id, runs] : all) {
    const auto name = names.find(id);
    if (name == names.end()) continue;
    for (Outage& outage : outagesOf(name->second, runs, to))
      if (outage.start < to && outage.end >= from) result.push_back(std::move(outage));
  }
  attachAlerts(result, from, to);
  return result;
}

void HistoryReader::attachAlerts(std::vector<Outage>& result, HistoryTime, HistoryTime to) {
  if (result.empty()) return;

  // The alerts of the window, by the entries they name, each list in time order.
  std::vector<AlertRecord> records;
  std::unordered_map<std::string, std::vector<std::size_t>> byEntry;
  SqliteStatement select = db_.prepare(
      "SELECT time, channel, state, ports, outcome, reason, outcome_time FROM alerts "
      "WHERE time >= ? AND time < ? ORDER BY time, id");
  HistoryTime earliest = to;
  for (const Outage& outage : result) earliest = std::min(earliest, outage.start);
  select.bind(1, earliest - kAlertBefore).bind(2, to + kAlertAfter);
  while (select.step() == SQLITE_ROW) {
    AlertRecord record{select.integer(0), select.text(1), select.text(2),
                       select.text(4),    select.text(5), std::nullopt};
    if (!select.isNull(6)) record.settled = select.integer(6);
    records.push_back(std::move(record));
    const std::string list = select.text(3);
    for (std::size_t at = 0; at <= list.size();) {
      const std::size_t comma = std::min(list.find(',', at), list.size());
      if (comma > at) byEntry[list.substr(at, comma - at)].push_back(records.size() - 1);
      at = comma + 1;
    }
  }
  for (Outage& outage : result) {
    const auto it = byEntry.find(outage.key.text());
    if (it == byEntry.end()) continue;
    const HistoryTime first = outage.start - kAlertBefore;
    const HistoryTime last = outage.ongoing ? to : outage.end + kAlertAfter;
    const auto& list = it->second;
    auto at = std::lower_bound(list.begin(), list.end(), first,
                               [&](std::size_t i, HistoryTime t) { return records[i].time < t; });
    for (; at != list.end() && records[*at].time <= last; ++at) {
      const AlertRecord& record = records[*at];
      // An UP alert belongs to the outage it ended, not to one that began just after.
      if (record.state == "UP" && (!outage.ended || record.time < outage.end - kAlertBefore))
        continue;
      outage.alerts.push_back(record);
    }
  }
  std::sort(result.begin(), result.end(), [](const Outage& a, const Outage& b) {
    return a.start != b.start ? a.start > b.start : a.key < b.key;
  });
}

std::vector<StripCell> HistoryReader::Strip(const PortKey& key, HistoryTime from, HistoryTime to,
                                            int cells) {
  std::vector<StripCell> strip(static_cast<std::size_t>(std::max(cells, 0)));
  const auto id = idOf(key);
  if (!id || cells <= 0 || to <= from) return strip;
  auto all = intervals(from, to, id);
  const auto& runs = all[*id];
  const double width = static_cast<double>(to - from) / cells;
  for (int c = 0; c < cells; ++c) {
    const HistoryTime a = from + static_cast<HistoryTime>(width * c);
    const HistoryTime b = c + 1 == cells ? to : from + static_cast<HistoryTime>(width * (c + 1));
    Uptime uptime;
    uptime.window = b - a;
    for (const Interval& run : runs) AddClipped(uptime, run.start, run.end, run.up, a, b);
    StripCell& cell = strip[static_cast<std::size_t>(c)];
    cell.coverage = uptime.coverage() / 100.0;
    cell.up = uptime.percent().value_or(0.0) / 100.0;
  }
  return strip;
}

std::vector<SeriesPoint> HistoryReader::Series(const PortKey& key, HistoryTime from,
                                               HistoryTime to) {
  std::vector<SeriesPoint> points;
  const auto id = idOf(key);
  if (!id || to <= from) return points;
  const bool minutes = to - from <= 48 * kHourMs;
  const HistoryTime unit = minutes ? kMinuteMs : kHourMs;
  const HistoryTime blockUnit = minutes ? kHourMs : kDayMs;
  const std::string rowsTable = minutes ? "minutes" : "hours";
  const std::string rowKey = minutes ? "minute" : "hour";
  // Point look-ups by the tables' own keys (time first): a scan would read all ports.
  SqliteStatement block =
      db_.prepare(minutes ? "SELECT data FROM minute_blocks WHERE hour = ? AND port_id = ?"
                          : "SELECT data FROM hour_blocks WHERE day = ? AND port_id = ?");
  SqliteStatement rows = db_.prepare(
      "SELECT " + rowKey +
      ", probes, successes, coalesce(min_us, 0), sum_us, coalesce(max_us, 0) " + "FROM " +
      rowsTable + " WHERE " + rowKey + " >= ? AND " + rowKey + " < ? AND port_id = ?");
  const auto slots = static_cast<std::size_t>(blockUnit / unit);
  for (HistoryTime start = FloorTo(from, blockUnit); start < to; start += blockUnit) {
    block.bind(1, start).bind(2, *id);
    if (block.step() == SQLITE_ROW) {
      if (const auto buckets = UnpackBuckets(block.blob(0), slots))
        for (std::size_t i = 0; i < slots; ++i) {
          const HistoryTime time = start + static_cast<HistoryTime>(i) * unit;
          if ((*buckets)[i].probes > 0 && time >= from && time < to)
            points.push_back(PointOf(time, (*buckets)[i]));
        }
    }
    block.reset();
    rows.bind(1, std::max(start, from)).bind(2, std::min(start + blockUnit, to)).bind(3, *id);
    while (rows.step() == SQLITE_ROW)
      points.push_back(PointOf(rows.integer(0), AggregateOf(rows, 1)));
    rows.reset();
  }
  std::sort(points.begin(), points.end(),
            [](const SeriesPoint& a, const SeriesPoint& b) { return a.time < b.time; });
  return points;
}

}  // namespace varnley
