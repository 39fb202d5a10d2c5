// Test and benchmark helper: a history file as a long run would leave it, written straight
// into the schema in one transaction (the writer would take minutes for a month of 1,000 ports).
// The program restarts every `sessionDays` days and each port has one short outage in each of
// those stretches; the aggregates are what pruning leaves: hours for 31 days, days for all of
// them, minutes for 48 hours.
#pragma once

#include <sqlite3.h>

#include <string>

#include "history/HistoryAggregates.h"
#include "history/HistoryFile.h"
#include "history/Sqlite.h"

namespace varnley::test {

struct PreparedShape {
  int ports = 1000;
  int days = 30;
  HistoryTime now = 0;
  bool minutes = true;  // minute blocks for the last 48 hours, rows for this hour
  int sessionDays = 1;  // the program restarts, and each port has one outage, this often
};

inline std::string PortHost(int i) {
  return "127." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) + "." +
         std::to_string(i % 256);
}

// False with the reason in `why` when the file could not be made.
inline bool PrepareHistory(const std::string& path, const PreparedShape& shape, std::string& why) {
  SqliteDb db;
  struct Quiet : Diagnostics {
    void Report(Severity, std::string_view) override {}
  } quiet;
  const Status opened = OpenHistoryForWriting(db, path, shape.now, quiet);
  if (!opened) {
    why = opened.reason;
    return false;
  }
  db.exec("PRAGMA synchronous=OFF");
  if (!db.exec("BEGIN")) {
    why = db.error();
    return false;
  }
  SqliteStatement port = db.prepare("INSERT INTO ports(id, host, port) VALUES(?, ?, 80)");
  SqliteStatement session =
      db.prepare("INSERT INTO sessions(id, started, last, stopped) VALUES(?, ?, ?, ?)");
  SqliteStatement run = db.prepare(
      "INSERT INTO runs(port_id, session_id, state, start, end, open) VALUES(?, ?, ?, ?, ?, ?)");
  SqliteStatement alert = db.prepare(
      "INSERT INTO alerts(time, channel, state, ports, text, outcome) "
      "VALUES(?, 'mail', 'DOWN', ?, ?, 'sent')");
  const char* aggregateSql[] = {
      "INSERT INTO hours VALUES(?, ?, ?, ?, ?, ?, ?)",
      "INSERT INTO days VALUES(?, ?, ?, ?, ?, ?, ?)",
  };
  SqliteStatement hour = db.prepare(aggregateSql[0]);
  SqliteStatement day = db.prepare(aggregateSql[1]);
  SqliteStatement block = db.prepare("INSERT INTO minute_blocks VALUES(?, ?, ?)");

  const HistoryTime start = (shape.now - shape.days * kDayMs) / kDayMs * kDayMs;
  for (int p = 1; p <= shape.ports; ++p) port.bind(1, std::int64_t{p}).bind(2, PortHost(p)).run();
  int d = 0;
  const HistoryTime stretch = shape.sessionDays * kDayMs;
  for (HistoryTime dayStart = start; dayStart < shape.now; dayStart += stretch, ++d) {
    const HistoryTime begin = dayStart + 60'000;
    const HistoryTime end = std::min(dayStart + stretch, shape.now);
    const bool last = dayStart + stretch >= shape.now;
    session.bind(1, std::int64_t{d + 1}).bind(2, begin).bind(3, end);
    if (last)
      session.bindNull(4);
    else
      session.bind(4, end);
    session.run();
    for (int p = 1; p <= shape.ports; ++p) {
      // A few minutes DOWN somewhere in the day, its time spread over the ports.
      const HistoryTime down =
          std::min<HistoryTime>(begin + (p * 7919LL % 1380) * 60'000, end - 10 * kMinuteMs);
      const HistoryTime up = down + (1 + p % 5) * 60'000;
      const std::string entry = PortHost(p) + ":80";
      const struct {
        const char* state;
        HistoryTime from, to;
        bool open;
      } parts[] = {{"UP", begin, down, false}, {"DOWN", down, up, false}, {"UP", up, end, last}};
      for (const auto& part : parts)
        run.bind(1, std::int64_t{p})
            .bind(2, std::int64_t{d + 1})
            .bind(3, part.state)
            .bind(4, part.from)
            .bind(5, part.to)
            .bind(6, std::int64_t{part.open})
            .run();
      alert.bind(1, down + 1500).bind(2, entry).bind(3, "\"" + entry + "\" is DOWN.").run();
    }
  }
  // Aggregates: a probe a second, about 0.3 ms a connect.
  // Hours of the last two days as rows, the older ones of the month packed by day.
  const HistoryTime hoursPacked = (shape.now - 2 * kDayMs) / kDayMs * kDayMs;
  {
    std::vector<Aggregate> hours(24);
    SqliteStatement hourBlock = db.prepare("INSERT INTO hour_blocks VALUES(?, ?, ?)");
    for (HistoryTime d = std::max(start, (shape.now - 31 * kDayMs) / kDayMs * kDayMs);
         d < hoursPacked; d += kDayMs)
      for (int p = 1; p <= shape.ports; ++p) {
        for (Aggregate& h : hours)
          h = {3600, 3590, 180 + p % 50, 3590LL * (300 + p % 90), 900 + p % 400};
        const std::string data = PackBuckets(hours);
        hourBlock.bind(1, d)
            .bind(2, std::int64_t{p})
            .bind(3, data.data(), static_cast<int>(data.size()))
            .run();
      }
  }
  for (HistoryTime h = std::max(start, hoursPacked); h < shape.now; h += kHourMs)
    for (int p = 1; p <= shape.ports; ++p)
      hour.bind(1, h)
          .bind(2, std::int64_t{p})
          .bind(3, std::int64_t{3600})
          .bind(4, std::int64_t{3590})
          .bind(5, std::int64_t{180 + p % 50})
          .bind(6, std::int64_t{3590} * (300 + p % 90))
          .bind(7, std::int64_t{900 + p % 400})
          .run();
  for (HistoryTime d = start; d < shape.now; d += kDayMs)
    for (int p = 1; p <= shape.ports; ++p)
      day.bind(1, d)
          .bind(2, std::int64_t{p})
          .bind(3, std::int64_t{86400})
          .bind(4, std::int64_t{86300})
          .bind(5, std::int64_t{150})
          .bind(6, std::int64_t{86300} * 310)
          .bind(7, std::int64_t{2500})
          .run();
  if (shape.minutes) {
    std::vector<Aggregate> minutes(60);
    for (std::size_t m = 0; m < minutes.size(); ++m)
      minutes[m] = {60, 60, 200 + static_cast<std::int64_t>(m), 60 * 320, 700};
    const std::string data = PackBuckets(minutes);
    for (HistoryTime h = std::max(start, shape.now - 48 * kHourMs) / kHourMs * kHourMs;
         h < shape.now / kHourMs * kHourMs; h += kHourMs)
      for (int p = 1; p <= shape.ports; ++p)
        block.bind(1, h)
            .bind(2, std::int64_t{p})
            .bind(3, data.data(), static_cast<int>(data.size()))
            .run();
  }
  if (shape.minutes) {
    SqliteStatement minute =
        db.prepare("INSERT INTO minutes VALUES(?, ?, 60, 60, 210, 19200, 650)");
    for (HistoryTime m = shape.now / kHourMs * kHourMs; m < shape.now; m += kMinuteMs)
      for (int p = 1; p <= shape.ports; ++p) minute.bind(1, m).bind(2, std::int64_t{p}).run();
  }
  if (!db.exec("COMMIT")) {
    why = db.error();
    return false;
  }
  return true;
}

}  // namespace varnley::test
