#include "history/HistoryFile.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/InternetDate.h"
#include "platform/Text.h"

namespace varnley {

namespace fs = std::filesystem;

namespace {

// "VrnH": tells a history file from any other SQLite file at a glance.
constexpr std::int64_t kApplicationId = 0x56726e48;
constexpr std::int64_t kSchemaVersion = 1;

// Times are UTC milliseconds; buckets name their first minute, hour or day the same way. The
// tables are WITHOUT ROWID keyed by time first, so each commit appends at the end of the tree
// and pruning cuts a range from its start.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS ports(
  id INTEGER PRIMARY KEY, host TEXT NOT NULL, port INTEGER NOT NULL, UNIQUE(host, port));
CREATE TABLE IF NOT EXISTS sessions(
  id INTEGER PRIMARY KEY, started INTEGER NOT NULL, last INTEGER NOT NULL, stopped INTEGER);
CREATE TABLE IF NOT EXISTS runs(
  id INTEGER PRIMARY KEY, port_id INTEGER NOT NULL, session_id INTEGER NOT NULL,
  state TEXT NOT NULL CHECK(state IN ('UP', 'DOWN')), start INTEGER NOT NULL,
  end INTEGER NOT NULL, open INTEGER NOT NULL DEFAULT 1, reason TEXT NOT NULL DEFAULT '');
-- Covers the readers' query, so a month of intervals is one range of the index alone.
CREATE INDEX IF NOT EXISTS runs_by_end ON runs(end, port_id, start, state, open, session_id, reason);
CREATE TABLE IF NOT EXISTS alerts(
  id INTEGER PRIMARY KEY, time INTEGER NOT NULL, channel TEXT NOT NULL, state TEXT NOT NULL,
  ports TEXT NOT NULL, text TEXT NOT NULL, outcome TEXT NOT NULL, reason TEXT NOT NULL DEFAULT '',
  outcome_time INTEGER);
CREATE INDEX IF NOT EXISTS alerts_by_time ON alerts(time);
CREATE TABLE IF NOT EXISTS minutes(
  minute INTEGER NOT NULL, port_id INTEGER NOT NULL, probes INTEGER NOT NULL,
  successes INTEGER NOT NULL, min_us INTEGER, sum_us INTEGER NOT NULL, max_us INTEGER,
  PRIMARY KEY(minute, port_id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS minute_blocks(
  hour INTEGER NOT NULL, port_id INTEGER NOT NULL, data BLOB NOT NULL,
  PRIMARY KEY(hour, port_id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS hours(
  hour INTEGER NOT NULL, port_id INTEGER NOT NULL, probes INTEGER NOT NULL,
  successes INTEGER NOT NULL, min_us INTEGER, sum_us INTEGER NOT NULL, max_us INTEGER,
  PRIMARY KEY(hour, port_id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS hour_blocks(
  day INTEGER NOT NULL, port_id INTEGER NOT NULL, data BLOB NOT NULL,
  PRIMARY KEY(day, port_id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS days(
  day INTEGER NOT NULL, port_id INTEGER NOT NULL, probes INTEGER NOT NULL,
  successes INTEGER NOT NULL, min_us INTEGER, sum_us INTEGER NOT NULL, max_us INTEGER,
  PRIMARY KEY(day, port_id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS notes(time INTEGER NOT NULL, text TEXT NOT NULL);
-- Alerts not yet delivered, per channel in queue order, so that the next start sends them;
-- each channel's rows are replaced whole. A file from before it gains it at the next open.
CREATE TABLE IF NOT EXISTS outbox(
  channel TEXT NOT NULL, seq INTEGER NOT NULL, event TEXT NOT NULL, text TEXT NOT NULL,
  entries TEXT NOT NULL DEFAULT '', time INTEGER NOT NULL, incident TEXT NOT NULL DEFAULT '',
  since INTEGER, first_try INTEGER, PRIMARY KEY(channel, seq)) WITHOUT ROWID;
-- What a channel gave up on: expired (not delivered within its hour) or refused.
CREATE TABLE IF NOT EXISTS deliveries(
  id INTEGER PRIMARY KEY, time INTEGER NOT NULL, channel TEXT NOT NULL, event TEXT NOT NULL,
  raised INTEGER NOT NULL, text TEXT NOT NULL, outcome TEXT NOT NULL,
  reason TEXT NOT NULL DEFAULT '');
CREATE VIEW IF NOT EXISTS changes AS
  SELECT runs.start AS time, ports.host AS host, ports.port AS port, runs.state AS state,
         runs.reason AS reason
  FROM runs JOIN ports ON ports.id = runs.port_id;
)sql";

std::string StampOf(HistoryTime now) {
  return UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(now)), true);
}

// What is wrong with an opened file as a history file, or "" when nothing is. A file another
// process holds locked is not damaged: `busy` says so, and it must not be set aside.
std::string ProblemOf(SqliteDb& db, bool& busy) {
  SqliteStatement check = db.prepare("PRAGMA quick_check(1)");
  if (check.step() != SQLITE_ROW) {
    const int code = db.errorCode() & 0xff;
    busy = code == SQLITE_BUSY || code == SQLITE_LOCKED || code == SQLITE_CANTOPEN ||
           code == SQLITE_IOERR || code == SQLITE_PERM || code == SQLITE_READONLY;
    return db.error();
  }
  if (check.text(0) != "ok") return "damaged (" + check.text(0) + ")";
  const std::int64_t id = db.scalar("PRAGMA application_id", -1);
  const std::int64_t tables = db.scalar("SELECT count(*) FROM sqlite_schema", -1);
  if (id == 0 && tables == 0) return "";  // an empty file: ours to fill
  if (id != kApplicationId) return "not a history file";
  if (db.scalar("PRAGMA user_version", -1) > kSchemaVersion) return "written by a newer version";
  return "";
}

bool WritableFile(const fs::path& path) {
  std::fstream probe(path, std::ios::in | std::ios::out | std::ios::binary);
  return probe.is_open();
}

Status CreateEmpty(const fs::path& path) {
  {
    std::ofstream create(path, std::ios::binary);
    if (!create) return Status::Fail("history is off: cannot create " + path.string());
  }
  // The file names every host watched; the journal files SQLite makes take this mode too.
  std::error_code ec;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace,
                  ec);
  if (ec)
    return Status::Fail("history is off: cannot restrict " + path.string() + ": " + ec.message());
  return Status::Ok();
}

void SetAside(const fs::path& path, HistoryTime now, const std::string& problem,
              Diagnostics& diagnostics) {
  const fs::path aside = path.string() + ".corrupt-" + StampOf(now);
  std::error_code ec;
  fs::rename(path, aside, ec);
  for (const char* suffix : {"-wal", "-shm"}) {
    std::error_code ignored;
    fs::rename(path.string() + suffix, aside.string() + suffix, ignored);
  }
  diagnostics.Report(Severity::Warning, "history: " + path.string() + " is " + problem +
                                            "; kept as " + aside.string() + ", a new one started");
}

Status Prepare(SqliteDb& db) {
  // WAL lets readers (the report, the window) work beside the writer; NORMAL keeps each
  // commit through a crash of the process, which is what kill -9 tests.
  if (!db.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") || !db.exec(kSchema) ||
      !db.exec("PRAGMA application_id=" + std::to_string(kApplicationId) +
               "; PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";"))
    return Status::Fail("history is off: " + db.error());
  return Status::Ok();
}

}  // namespace

HistoryTime SystemHistoryTime() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string HistoryPathFor(const AlertSettings& settings, const std::string& settingsPath) {
  const std::string& chosen = settings.history;
  if (ToLowerAscii(chosen) == "off") return "";
  const fs::path settingsFile(settingsPath);
  if (chosen.empty()) {
    std::string name = settingsFile.string();
    if (ToLowerAscii(settingsFile.extension().string()) == ".ini") name.resize(name.size() - 4);
    return name + ".history.sqlite";
  }
  const fs::path given(chosen);
  if (given.is_absolute()) return given.string();
  return (settingsFile.parent_path() / given).string();
}

Status OpenHistoryForWriting(SqliteDb& db, const std::string& pathText, HistoryTime now,
                             Diagnostics& diagnostics) {
  const fs::path path(pathText);
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(folder, ec))
    return Status::Fail("history is off: the folder " + folder.string() + " does not exist");
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool exists = fs::exists(path, ec);
    if (exists && !fs::is_regular_file(path, ec))
      return Status::Fail("history is off: " + path.string() + " is not a file");
    if (!exists) {
      if (Status made = CreateEmpty(path); !made) return made;
    } else if (!WritableFile(path)) {
      return Status::Fail("history is off: " + path.string() + " is not writable");
    }
    std::string problem;
    bool busy = false;
    if (!db.open(path.string(), false))
      problem = db.error();
    else
      problem = ProblemOf(db, busy);
    if (problem.empty()) return Prepare(db);
    db.close();
    if (busy) return Status::Fail("history is off: " + path.string() + ": " + problem);
    if (attempt > 0) break;
    SetAside(path, now, problem, diagnostics);
  }
  return Status::Fail("history is off: " + path.string() + " cannot be used");
}

Status OpenHistoryForReading(SqliteDb& db, const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return Status::Fail("no history file at " + path);
  if (!db.open(path, true)) return Status::Fail("cannot open " + path + ": " + db.error());
  if (db.scalar("PRAGMA application_id", -1) != kApplicationId)
    return Status::Fail(path + " is not a history file");
  return Status::Ok();
}

}  // namespace varnley
