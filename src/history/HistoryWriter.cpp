#include "history/HistoryWriter.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

namespace varnley {

namespace {

// An open run of a port that has not been probed for this long (and for ten of its usual
// gaps) has left the table: its time from the last probe on is "no data", not its state.
constexpr HistoryTime kIdleClose = 2 * kMinuteMs;
// How stale the stored end of an open run may grow; the session's own end covers the rest.
constexpr HistoryTime kRunTouch = 30'000;
constexpr HistoryTime kMinuteKeep = 48 * kHourMs;
constexpr HistoryTime kHourKeep = 31 * kDayMs;

HistoryTime Floor(HistoryTime time, HistoryTime unit) {
  const HistoryTime q = time / unit;
  return (time < 0 && q * unit != time ? q - 1 : q) * unit;
}

std::uint64_t MinuteKey(std::size_t port, HistoryTime time) {
  return (std::uint64_t{port} << 32) |
         static_cast<std::uint32_t>(Floor(time, kMinuteMs) / kMinuteMs);
}

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// An alert's entries as one text: a line per entry, "host<TAB>port<TAB>reason".
std::string EntriesText(const std::vector<OutboxEntry>& entries) {
  std::string text;
  for (const OutboxEntry& entry : entries) {
    std::string reason = entry.reason;
    for (char& c : reason)
      if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    text += entry.host + '\t' + std::to_string(entry.port) + '\t' + reason + '\n';
  }
  return text;
}

std::vector<OutboxEntry> EntriesOf(const std::string& text) {
  std::vector<OutboxEntry> entries;
  for (const std::string& line : LinesOf(text)) {
    const std::size_t first = line.find('\t');
    const std::size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos) continue;
    OutboxEntry entry;
    entry.host = line.substr(0, first);
    entry.port = std::atoi(line.c_str() + first + 1);
    entry.reason = line.substr(second + 1);
    entries.push_back(std::move(entry));
  }
  return entries;
}

constexpr const char* kUpsertTail =
    " ON CONFLICT DO UPDATE SET probes = probes + excluded.probes,"
    " successes = successes + excluded.successes,"
    " min_us = min(coalesce(min_us, excluded.min_us), coalesce(excluded.min_us, min_us)),"
    " sum_us = sum_us + excluded.sum_us,"
    " max_us = max(coalesce(max_us, excluded.max_us), coalesce(excluded.max_us, max_us))";

std::string Upsert(const char* table, const char* bucket) {
  return std::string("INSERT INTO ") + table + "(" + bucket +
         ", port_id, probes, successes, min_us, sum_us, max_us) VALUES(?,?,?,?,?,?,?)" +
         kUpsertTail;
}

}  // namespace

std::string GroupDigits(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

struct HistoryWriter::Statements {
  explicit Statements(SqliteDb& db)
      : begin(db.prepare("BEGIN IMMEDIATE")),
        commit(db.prepare("COMMIT")),
        rollback(db.prepare("ROLLBACK")),
        insertPort(db.prepare("INSERT INTO ports(host, port) VALUES(?, ?) ON CONFLICT DO NOTHING")),
        findPort(db.prepare("SELECT id FROM ports WHERE host = ? AND port = ?")),
        insertSession(db.prepare("INSERT INTO sessions(started, last) VALUES(?, ?)")),
        touchSession(db.prepare("UPDATE sessions SET last = max(last, ?) WHERE id = ?")),
        stopSession(
            db.prepare("UPDATE sessions SET last = max(last, ?1), stopped = ?1 WHERE id = ?2")),
        insertRun(db.prepare("INSERT INTO runs(port_id, session_id, state, start, end, reason) "
                             "VALUES(?, ?, ?, ?, ?, ?)")),
        closeRun(db.prepare("UPDATE runs SET end = max(start, ?), open = 0 WHERE id = ?")),
        touchRun(db.prepare("UPDATE runs SET end = max(end, ?) WHERE id = ?")),
        insertAlert(db.prepare("INSERT INTO alerts(time, channel, state, ports, text, outcome) "
                               "VALUES(?, ?, ?, ?, ?, ?)")),
        settleAlert(
            db.prepare("UPDATE alerts SET outcome = ?1, reason = ?2, outcome_time = ?3 WHERE id = "
                       "(SELECT min(id) FROM alerts WHERE channel = ?4 AND outcome = 'queued' AND "
                       "text = ?5)")),
        insertNote(db.prepare("INSERT INTO notes(time, text) VALUES(?, ?)")),
        clearOutbox(db.prepare("DELETE FROM outbox WHERE channel = ?")),
        insertOutbox(db.prepare("INSERT INTO outbox(channel, seq, event, text, entries, time, "
                                "incident, since, first_try) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)")),
        insertDelivery(db.prepare("INSERT INTO deliveries(time, channel, event, raised, text, "
                                  "outcome, reason) VALUES(?, ?, ?, ?, ?, ?, ?)")),
        upsertMinute(db.prepare(Upsert("minutes", "minute"))),
        upsertHour(db.prepare(Upsert("hours", "hour"))),
        upsertDay(db.prepare(Upsert("days", "day"))) {}

  bool valid() const {
    for (const SqliteStatement* s :
         {&begin, &commit, &rollback, &insertPort, &findPort, &insertSession, &touchSession,
          &stopSession, &insertRun, &closeRun, &touchRun, &insertAlert, &settleAlert, &insertNote,
          &clearOutbox, &insertOutbox, &insertDelivery, &upsertMinute, &upsertHour, &upsertDay})
      if (!s->valid()) return false;
    return true;
  }

  SqliteStatement begin, commit, rollback, insertPort, findPort, insertSession, touchSession,
      stopSession, insertRun, closeRun, touchRun, insertAlert, settleAlert, insertNote,
      clearOutbox, insertOutbox, insertDelivery, upsertMinute, upsertHour, upsertDay;
};

std::unique_ptr<HistoryWriter> HistoryWriter::Open(HistoryOptions options, Status& status) {
  if (!options.clock) options.clock = SystemHistoryTime;
  options.days = std::clamp(options.days, kMinHistoryDays, kMaxHistoryDays);
  std::unique_ptr<HistoryWriter> writer(new HistoryWriter(std::move(options)));
  status = OpenHistoryForWriting(writer->db_, writer->options_.path, writer->now(),
                                 writer->diagnostics_);
  if (!status) return nullptr;
  // Runs a killed copy left open end where its session was last heard of.
  writer->db_.exec(
      "UPDATE runs SET open = 0, end = max(end, (SELECT last FROM sessions "
      "WHERE sessions.id = runs.session_id)) WHERE open = 1");
  writer->sql_ = std::make_unique<Statements>(writer->db_);
  if (!writer->sql_->valid()) {
    status = Status::Fail("history is off: " + writer->db_.error());
    return nullptr;
  }
  // An outbox that cannot be read loses the earlier run's alerts, never the history.
  if (!writer->readOutbox())
    writer->diagnostics_.Report(Severity::Error,
                                "history: the undelivered alerts of the last run cannot be read: " +
                                    writer->db_.error());
  writer->thread_ = std::thread([w = writer.get()] { w->run(); });
  return writer;
}

HistoryWriter::HistoryWriter(HistoryOptions options)
    : options_(std::move(options)),
      diagnostics_(options_.diagnostics ? *options_.diagnostics : StderrDiagnostics()) {}

HistoryWriter::~HistoryWriter() {
  if (thread_.joinable()) {
    Stopped();
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  sql_.reset();
  db_.close();
}

std::size_t HistoryWriter::indexOf(const std::string& host, int port) {
  key_.assign(host);
  key_ += '\n';
  char digits[8];
  int n = 0;
  for (unsigned value = static_cast<unsigned>(port); n == 0 || value > 0; value /= 10)
    digits[n++] = static_cast<char>('0' + value % 10);
  while (n > 0) key_ += digits[--n];
  if (const auto it = nameIndex_.find(key_); it != nameIndex_.end()) return it->second;
  nameIndex_.emplace(key_, names_.size());
  names_.push_back({host, port});
  states_.push_back(-1);
  return names_.size() - 1;
}

void HistoryWriter::push(Event event) {
  ++handed_;
  if (pending_.events.size() >= options_.eventCap) {
    countLost(1);
    return;
  }
  pending_.events.push_back(std::move(event));
}

void HistoryWriter::countLost(std::uint64_t count) {
  pending_.lost += count;
  if (lossSaid_) return;
  lossSaid_ = true;
  diagnostics_.Report(Severity::Error,
                      "history: falling behind, events are being lost (counted, written later)");
}

void HistoryWriter::ResetChanges() {
  std::lock_guard lock(mutex_);
  std::fill(states_.begin(), states_.end(), static_cast<signed char>(-1));
}

void HistoryWriter::Probes(const std::vector<PortResult>& results, bool changes) {
  const HistoryTime time = now();
  std::lock_guard lock(mutex_);
  ++handed_;
  if (pending_.lastProbe.size() < names_.size() + results.size()) {
    pending_.lastProbe.resize(names_.size() + results.size(), 0);
    pending_.lastOpen.resize(names_.size() + results.size(), -1);
  }
  for (const PortResult& result : results) {
    const std::size_t index = indexOf(result.host, result.port);
    if (changes && states_[index] != static_cast<signed char>(result.open)) {
      states_[index] = static_cast<signed char>(result.open);
      // Why it went down is the probe's own word ("refused", "no such name").
      push({Event::Change,
            time,
            index,
            result.open,
            {},
            {},
            result.open ? std::string() : result.reason});
    }
    const std::uint64_t key = MinuteKey(index, time);
    auto it = pending_.minutes.find(key);
    if (it == pending_.minutes.end()) {
      if (pending_.minutes.size() >= options_.aggregateCap) {
        countLost(1);
        continue;
      }
      it = pending_.minutes.emplace(key, Aggregate{}).first;
    }
    it->second.add(result.open,
                   std::chrono::duration_cast<std::chrono::microseconds>(result.duration).count());
    pending_.lastProbe[index] = time;
    pending_.lastOpen[index] = static_cast<signed char>(result.open);
  }
}

void HistoryWriter::Change(const std::string& host, int port, bool up, const std::string& reason) {
  const HistoryTime time = now();
  std::lock_guard lock(mutex_);
  push({Event::Change, time, indexOf(host, port), up, {}, {}, reason});
}

void HistoryWriter::Started() {
  const HistoryTime time = now();
  std::lock_guard lock(mutex_);
  push({Event::Start, time, 0, false, {}, {}, {}});
}

void HistoryWriter::Stopped() {
  const HistoryTime time = now();
  std::lock_guard lock(mutex_);
  push({Event::Stop, time, 0, false, {}, {}, {}});
}

void HistoryWriter::Alert(const std::string& channel, bool down,
                          const std::vector<std::string>& ports, const std::string& text) {
  std::string list;
  for (const std::string& entry : ports) {
    if (!list.empty()) list += ',';
    list += entry;
  }
  const HistoryTime time = now();
  std::lock_guard lock(mutex_);
  push({Event::Alert, time, 0, down, channel, text, list});
}

void HistoryWriter::Outcome(const std::string& channel, const std::string& text, bool ok,
                            const std::string& reason) {
  const HistoryTime time = now();
  std::lock_guard lock(mutex_);
  push({Event::Outcome, time, 0, ok, channel, text, reason});
}

void HistoryWriter::KeepOutbox(const std::string& channel, std::vector<OutboxRow> rows) {
  std::lock_guard lock(mutex_);
  ++handed_;
  pending_.outbox[channel] = std::move(rows);
}

OutboxLists HistoryWriter::TakeKeptOutbox() {
  std::lock_guard lock(mutex_);
  return std::exchange(keptOutbox_, {});
}

void HistoryWriter::GaveUp(const std::string& channel, const OutboxRow& alert,
                           const std::string& outcome, const std::string& reason) {
  const HistoryTime time = now();
  std::lock_guard lock(mutex_);
  ++handed_;
  if (pending_.events.size() + pending_.givenUp.size() >= options_.eventCap) {
    countLost(1);
    return;
  }
  pending_.givenUp.push_back({time, alert.time, channel, alert.event, alert.text, outcome, reason});
}

bool HistoryWriter::readOutbox() {
  SqliteStatement select = db_.prepare(
      "SELECT channel, event, text, entries, time, incident, since, first_try FROM outbox "
      "ORDER BY channel, seq");
  if (!select.valid()) return false;
  OutboxLists lists;
  int rc;
  while ((rc = select.step()) == SQLITE_ROW) {
    OutboxRow row;
    row.event = select.text(1);
    row.text = select.text(2);
    row.entries = EntriesOf(select.text(3));
    row.time = select.integer(4);
    row.incident = select.text(5);
    if (!select.isNull(6)) row.since = select.integer(6);
    if (!select.isNull(7)) row.firstTry = select.integer(7);
    lists[select.text(0)].push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) return false;
  std::lock_guard lock(mutex_);
  keptOutbox_ = std::move(lists);
  return true;
}

bool HistoryWriter::writeOutbox(const Batch& batch) {
  for (const GivenUp& row : batch.givenUp)
    if (!sql_->insertDelivery.bind(1, row.time)
             .bind(2, row.channel)
             .bind(3, row.event)
             .bind(4, row.raised)
             .bind(5, row.text)
             .bind(6, row.outcome)
             .bind(7, row.reason)
             .run())
      return false;
  for (const auto& [channel, rows] : batch.outbox) {
    if (!sql_->clearOutbox.bind(1, channel).run()) return false;
    std::int64_t seq = 0;
    for (const OutboxRow& row : rows) {
      SqliteStatement& insert = sql_->insertOutbox;
      insert.bind(1, channel)
          .bind(2, seq++)
          .bind(3, row.event)
          .bind(4, row.text)
          .bind(5, EntriesText(row.entries))
          .bind(6, row.time)
          .bind(7, row.incident);
      if (row.since)
        insert.bind(8, *row.since);
      else
        insert.bindNull(8);
      if (row.firstTry)
        insert.bind(9, *row.firstTry);
      else
        insert.bindNull(9);
      if (!insert.run()) return false;
    }
  }
  return true;
}

void HistoryWriter::SetTick(std::function<void()> tick) {
  std::lock_guard lock(tickMutex_);
  tick_ = std::move(tick);
}

void HistoryWriter::Flush() {
  std::unique_lock lock(mutex_);
  if (!thread_.joinable()) return;
  const std::uint64_t wanted = handed_;
  flushWanted_ = true;
  wake_.notify_all();
  flushed_.wait(lock, [&] { return tried_ >= wanted && !flushWanted_; });
}

HistoryWriter::Health HistoryWriter::health() const {
  std::lock_guard lock(mutex_);
  Health health = health_;
  health.lost += pending_.lost;
  return health;
}

void HistoryWriter::run() {
  std::unique_lock lock(mutex_);
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    wake_.wait_until(lock, next, [&] { return stopping_ || flushWanted_; });
    lock.unlock();
    {
      std::lock_guard tickLock(tickMutex_);
      if (tick_) tick_();
    }
    lock.lock();
    const bool last = stopping_;
    Batch batch;
    std::swap(batch, pending_);
    batch.takenAt = now();
    const std::uint64_t generation = handed_;
    for (std::size_t i = writerNames_.size(); i < names_.size(); ++i)
      writerNames_.push_back(names_[i]);
    flushWanted_ = false;
    lock.unlock();

    const bool ok = write(batch);
    if (!ok) putBack(batch);

    lock.lock();
    tried_ = std::max(tried_, generation);
    flushed_.notify_all();
    if (last) break;
    // A failing disk is tried less often, so a pause costs little.
    next =
        std::chrono::steady_clock::now() + (ok ? options_.commitEvery : options_.commitEvery * 2);
  }
  const std::uint64_t unwritten =
      pending_.lost + pending_.events.size() + pending_.minutes.size() + pending_.givenUp.size();
  if (unwritten > 0)
    diagnostics_.Report(Severity::Error, "history: " + GroupDigits(unwritten) +
                                             " events could not be written before the end");
  // Whatever waits for delivery and did not reach the file is named, not dropped in silence.
  for (const auto& [channel, rows] : pending_.outbox)
    for (const OutboxRow& row : rows)
      diagnostics_.Report(Severity::Error, "history: " + channel +
                                               " alert not kept for the next start: " + row.text);
}

std::int64_t HistoryWriter::portId(std::size_t index) {
  if (const auto it = portIds_.find(index); it != portIds_.end()) return it->second;
  const PortName& name = writerNames_[index];
  if (!sql_->insertPort.bind(1, name.host).bind(2, std::int64_t{name.port}).run()) return 0;
  SqliteStatement& find = sql_->findPort;
  find.bind(1, name.host).bind(2, std::int64_t{name.port});
  std::int64_t id = 0;
  if (find.step() == SQLITE_ROW) id = find.integer(0);
  find.reset();
  if (id) portIds_[index] = id;
  return id;
}

bool HistoryWriter::startSession(HistoryTime time) {
  if (!sql_->insertSession.bind(1, time).bind(2, time).run()) return false;
  session_ = sqlite3_last_insert_rowid(db_.handle());
  sessionStart_ = time;
  openRuns_.clear();
  return true;
}

bool HistoryWriter::closeRun(std::int64_t id, HistoryTime time) {
  const auto it = openRuns_.find(id);
  if (it == openRuns_.end()) return true;
  if (!sql_->closeRun.bind(1, time).bind(2, it->second.row).run()) return false;
  openRuns_.erase(it);
  return true;
}

bool HistoryWriter::closeSession(HistoryTime time) {
  if (session_ == 0) return true;
  for (const auto& [id, run] : openRuns_)
    if (!sql_->closeRun.bind(1, time).bind(2, run.row).run()) return false;
  openRuns_.clear();
  if (!sql_->stopSession.bind(1, time).bind(2, session_).run()) return false;
  session_ = 0;
  return true;
}

bool HistoryWriter::writeEvent(const Event& event) {
  switch (event.kind) {
    case Event::Start:
      return closeSession(event.time) && startSession(event.time);
    case Event::Stop:
      return closeSession(event.time);
    case Event::Change: {
      if (session_ == 0 && !startSession(event.time)) return false;
      const std::int64_t id = portId(event.port);
      if (id == 0) return false;
      const auto it = openRuns_.find(id);
      if (it != openRuns_.end() && it->second.up == event.flag) return true;
      if (!closeRun(id, event.time)) return false;
      if (!sql_->insertRun.bind(1, id)
               .bind(2, session_)
               .bind(3, event.flag ? "UP" : "DOWN")
               .bind(4, event.time)
               .bind(5, event.time)
               .bind(6, event.detail)
               .run())
        return false;
      openRuns_[id] = {sqlite3_last_insert_rowid(db_.handle()), event.flag, event.time, event.time,
                       0};
      return true;
    }
    case Event::Alert: {
      const bool mail = event.channel == kMail;
      return sql_->insertAlert.bind(1, event.time)
          .bind(2, event.channel)
          .bind(3, event.flag ? "DOWN" : "UP")
          .bind(4, event.detail)
          .bind(5, event.text)
          .bind(6, mail                    ? "queued"
                   : event.channel == kBox ? "shown"
                                           : "handed")
          .run();
    }
    case Event::Outcome:
      for (const std::string& line : LinesOf(event.text))
        if (!sql_->settleAlert.bind(1, event.flag ? "sent" : "failed")
                 .bind(2, event.detail)
                 .bind(3, event.time)
                 .bind(4, event.channel)
                 .bind(5, line)
                 .run())
          return false;
      return true;
  }
  return true;
}

bool HistoryWriter::writeAggregates(const Batch& batch) {
  // Sorted by bucket and port, so rows go into each tree in key order.
  std::map<std::pair<HistoryTime, std::int64_t>, Aggregate> minutes, hours, days;
  for (const auto& [key, aggregate] : batch.minutes) {
    const std::int64_t id = portId(static_cast<std::size_t>(key >> 32));
    if (id == 0) return false;
    const HistoryTime minute = static_cast<HistoryTime>(key & 0xffffffffu) * kMinuteMs;
    minutes[{minute, id}].merge(aggregate);
    hours[{Floor(minute, kHourMs), id}].merge(aggregate);
    days[{Floor(minute, kDayMs), id}].merge(aggregate);
  }
  const auto upsert = [](SqliteStatement& statement, const auto& rows) {
    for (const auto& [key, a] : rows) {
      statement.bind(1, key.first).bind(2, key.second).bind(3, a.probes).bind(4, a.successes);
      if (a.successes) {
        statement.bind(5, a.minUs).bind(7, a.maxUs);
      } else {
        statement.bindNull(5).bindNull(7);
      }
      if (!statement.bind(6, a.sumUs).run()) return false;
    }
    return true;
  };
  if (!upsert(sql_->upsertMinute, minutes) || !upsert(sql_->upsertHour, hours) ||
      !upsert(sql_->upsertDay, days))
    return false;

  const HistoryTime time = batch.takenAt ? batch.takenAt : now();
  for (std::size_t index = 0; index < batch.lastProbe.size(); ++index) {
    const HistoryTime probed = batch.lastProbe[index];
    if (probed == 0) continue;
    const std::int64_t id = portId(index);
    if (id == 0) return false;
    auto it = openRuns_.find(id);
    if (it == openRuns_.end()) {
      // A probe from before monitoring stopped (or started again) opens nothing.
      if (session_ == 0 || probed < sessionStart_) continue;
      // Probed again after its run was closed as idle (it left the table and came back), or
      // probed with no change given: its interval starts with this probe.
      const bool up = batch.lastOpen[index] > 0;
      if (!sql_->insertRun.bind(1, id)
               .bind(2, session_)
               .bind(3, up ? "UP" : "DOWN")
               .bind(4, probed)
               .bind(5, probed)
               .bind(6, std::string_view(""))
               .run())
        return false;
      it = openRuns_
               .emplace(id, OpenRun{sqlite3_last_insert_rowid(db_.handle()), up, probed, probed, 0})
               .first;
    }
    OpenRun& run = it->second;
    if (probed > run.lastProbe) {
      run.gap = probed - run.lastProbe;
      run.lastProbe = probed;
    }
    if (run.lastProbe - run.storedEnd >= kRunTouch) {
      if (!sql_->touchRun.bind(1, run.lastProbe).bind(2, run.row).run()) return false;
      run.storedEnd = run.lastProbe;
    }
  }
  for (auto it = openRuns_.begin(); it != openRuns_.end();) {
    const OpenRun& run = it->second;
    if (time - run.lastProbe > std::max(kIdleClose, 10 * run.gap)) {
      if (!sql_->closeRun.bind(1, run.lastProbe).bind(2, run.row).run()) return false;
      it = openRuns_.erase(it);
    } else {
      ++it;
    }
  }
  return true;
}

bool HistoryWriter::fold(const Fold& f, HistoryTime before) {
  const std::string columns = "probes, successes, coalesce(min_us, 0), sum_us, coalesce(max_us, 0)";
  SqliteStatement select =
      db_.prepare(std::string("SELECT ") + f.key + ", port_id, " + columns + " FROM " + f.rows +
                  " WHERE " + f.key + " < ? ORDER BY port_id, " + f.key);
  SqliteStatement existing = db_.prepare(std::string("SELECT data FROM ") + f.blocks + " WHERE " +
                                         f.blockKey + " = ? AND port_id = ?");
  SqliteStatement store = db_.prepare(std::string("INSERT OR REPLACE INTO ") + f.blocks + "(" +
                                      f.blockKey + ", port_id, data) VALUES(?, ?, ?)");
  const auto slots = static_cast<std::size_t>(f.blockUnit / f.unit);
  std::int64_t port = 0;
  HistoryTime block = 0;
  std::vector<Aggregate> buckets;
  const auto flush = [&] {
    if (buckets.empty()) return true;
    existing.bind(1, block).bind(2, port);
    if (existing.step() == SQLITE_ROW)
      if (const auto old = UnpackBuckets(existing.blob(0), slots))
        for (std::size_t i = 0; i < slots; ++i) buckets[i].merge((*old)[i]);
    existing.reset();
    const std::string data = PackBuckets(buckets);
    return store.bind(1, block)
        .bind(2, port)
        .bind(3, data.data(), static_cast<int>(data.size()))
        .run();
  };
  select.bind(1, before);
  int rc;
  while ((rc = select.step()) == SQLITE_ROW) {
    const HistoryTime time = select.integer(0);
    const std::int64_t id = select.integer(1);
    if (buckets.empty() || id != port || Floor(time, f.blockUnit) != block) {
      if (!flush()) return false;
      port = id;
      block = Floor(time, f.blockUnit);
      buckets.assign(slots, Aggregate{});
    }
    buckets[static_cast<std::size_t>((time - block) / f.unit)] = {
        select.integer(2), select.integer(3), select.integer(4), select.integer(5),
        select.integer(6)};
  }
  if (rc != SQLITE_DONE || !flush()) return false;
  SqliteStatement drop =
      db_.prepare(std::string("DELETE FROM ") + f.rows + " WHERE " + f.key + " < ?");
  return drop.bind(1, before).run();
}

bool HistoryWriter::maintain(HistoryTime time) {
  // Once a minute: the work is a range cut at the start of each tree.
  if (Floor(time, kMinuteMs) == Floor(lastMaintenance_, kMinuteMs)) return true;
  const HistoryTime keepAll = time - static_cast<HistoryTime>(options_.days) * kDayMs;
  // Minutes of past hours, and hours older than two days (the last day's mean connect time
  // reads the rows), are packed by port.
  static constexpr Fold kMinutes{"minutes", "minute", "minute_blocks", "hour", kMinuteMs, kHourMs};
  static constexpr Fold kHours{"hours", "hour", "hour_blocks", "day", kHourMs, kDayMs};
  if (!fold(kMinutes, Floor(time, kHourMs)) || !fold(kHours, Floor(time - 2 * kDayMs, kDayMs)))
    return false;
  struct Cut {
    const char* sql;
    HistoryTime before;
  };
  const Cut cuts[] = {
      // A bucket goes once all of it is older than what is kept.
      {"DELETE FROM minute_blocks WHERE hour < ?", time - kMinuteKeep - kHourMs},
      {"DELETE FROM hour_blocks WHERE day < ?", time - kHourKeep - kDayMs},
      {"DELETE FROM days WHERE day < ?", Floor(keepAll, kDayMs)},
      {"DELETE FROM runs WHERE open = 0 AND end < ?", keepAll},
      {"DELETE FROM alerts WHERE time < ?", keepAll},
      {"DELETE FROM notes WHERE time < ?", keepAll},
      {"DELETE FROM deliveries WHERE time < ?", keepAll},
      {"DELETE FROM sessions WHERE last < ? AND id NOT IN (SELECT session_id FROM runs)", keepAll},
  };
  for (const Cut& cut : cuts) {
    SqliteStatement statement = db_.prepare(cut.sql);
    if (!statement.bind(1, cut.before).run()) return false;
  }
  lastMaintenance_ = time;
  return true;
}

bool HistoryWriter::write(Batch& batch) {
  const HistoryTime time = batch.takenAt ? batch.takenAt : now();
  const bool nothing =
      batch.events.empty() && batch.minutes.empty() && batch.outbox.empty() &&
      batch.givenUp.empty() && batch.lost == 0;
  const bool maintenanceDue = Floor(time, kMinuteMs) != Floor(lastMaintenance_, kMinuteMs);
  if (nothing && session_ == 0 && !maintenanceDue && !full_) return true;

  if (const std::int64_t limit = pageLimit_; limit != appliedPageLimit_) {
    db_.exec("PRAGMA max_page_count=" + std::to_string(limit > 0 ? limit : 4294967294LL));
    appliedPageLimit_ = limit;
  }
  const auto savedRuns = openRuns_;
  const std::int64_t savedSession = session_;
  const HistoryTime savedSessionStart = sessionStart_;
  const HistoryTime savedMaintenance = lastMaintenance_;
  bool ok = sql_->begin.run();
  for (std::size_t i = 0; ok && i < batch.events.size(); ++i) ok = writeEvent(batch.events[i]);
  if (ok && !batch.minutes.empty() && session_ == 0) ok = startSession(time);
  if (ok) ok = writeAggregates(batch);
  if (ok) ok = writeOutbox(batch);
  if (ok && session_ != 0) ok = sql_->touchSession.bind(1, time).bind(2, session_).run();
  const std::uint64_t lost = batch.lost;
  if (ok && lost > 0) {
    const std::string text = "history: " + GroupDigits(lost) + " events lost while " +
                             (full_ ? "the disk was full" : "writes failed");
    ok = sql_->insertNote.bind(1, time).bind(2, text).run();
    if (ok) lostUnsaid_ = lost;
  }
  if (ok) ok = maintain(time);
  if (ok) ok = sql_->commit.run();
  if (!ok) {
    const std::string reason = db_.error();
    const int code = db_.errorCode() & 0xff;
    sql_->rollback.run();
    openRuns_ = savedRuns;
    session_ = savedSession;
    sessionStart_ = savedSessionStart;
    lastMaintenance_ = savedMaintenance;
    portIds_.clear();  // ids given inside the rolled-back transaction are gone
    failed(reason, code == SQLITE_FULL);
    if (!batch.outbox.empty() && !outboxSaid_) {
      outboxSaid_ = true;
      diagnostics_.Report(Severity::Error,
                          "history: undelivered alerts are kept in memory only until the file "
                          "can be written again (an end before then loses them)");
    }
    return false;
  }
  batch.lost = 0;
  recovered();
  return true;
}

void HistoryWriter::putBack(Batch& batch) {
  std::lock_guard lock(mutex_);
  // What failed is older than what came meanwhile, so it goes first; the newest is what the
  // cap gives up.
  batch.events.insert(batch.events.end(), std::make_move_iterator(pending_.events.begin()),
                      std::make_move_iterator(pending_.events.end()));
  if (batch.events.size() > options_.eventCap) {
    batch.lost += batch.events.size() - options_.eventCap;
    batch.events.resize(options_.eventCap);
  }
  pending_.events = std::move(batch.events);
  // A channel's list that changed meanwhile is newer than the one that failed.
  for (auto& [channel, rows] : batch.outbox) pending_.outbox.try_emplace(channel, std::move(rows));
  batch.givenUp.insert(batch.givenUp.end(), std::make_move_iterator(pending_.givenUp.begin()),
                       std::make_move_iterator(pending_.givenUp.end()));
  pending_.givenUp = std::move(batch.givenUp);
  for (const auto& [key, aggregate] : batch.minutes) {
    auto it = pending_.minutes.find(key);
    if (it == pending_.minutes.end()) {
      if (pending_.minutes.size() >= options_.aggregateCap) {
        batch.lost += static_cast<std::uint64_t>(aggregate.probes);
        continue;
      }
      it = pending_.minutes.emplace(key, Aggregate{}).first;
    }
    it->second.merge(aggregate);
  }
  if (pending_.lastProbe.size() < batch.lastProbe.size()) {
    pending_.lastProbe.resize(batch.lastProbe.size(), 0);
    pending_.lastOpen.resize(batch.lastProbe.size(), -1);
  }
  for (std::size_t index = 0; index < batch.lastProbe.size(); ++index)
    if (batch.lastProbe[index] > pending_.lastProbe[index]) {
      pending_.lastProbe[index] = batch.lastProbe[index];
      pending_.lastOpen[index] = batch.lastOpen[index];
    }
  pending_.lost += batch.lost;
}

void HistoryWriter::failed(const std::string& reason, bool full) {
  full_ = full_ || full;
  bool tell = false;
  {
    std::lock_guard lock(mutex_);
    tell = !health_.paused;
    health_.paused = true;
    health_.reason = reason;
  }
  if (tell)
    diagnostics_.Report(Severity::Error, "history: paused, " + reason +
                                             "; monitoring goes on, the history resumes by itself");
}

void HistoryWriter::recovered() {
  bool wasPaused = false;
  {
    std::lock_guard lock(mutex_);
    wasPaused = health_.paused;
    health_ = {};
    lossSaid_ = false;
  }
  if (wasPaused) diagnostics_.Report(Severity::Notice, "history: resumed");
  if (lostUnsaid_ > 0)
    diagnostics_.Report(Severity::Warning, "history: " + GroupDigits(lostUnsaid_) +
                                               " events lost while " +
                                               (full_ ? "the disk was full" : "writes failed"));
  lostUnsaid_ = 0;
  full_ = false;
  outboxSaid_ = false;
}

}  // namespace varnley
