#include "history/Sqlite.h"

#include <sqlite3.h>

#include <utility>

namespace varnley {

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql) {
  if (db && sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                               SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK)
    stmt_ = nullptr;
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)) {}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    stmt_ = std::exchange(other.stmt_, nullptr);
  }
  return *this;
}

SqliteStatement& SqliteStatement::bind(int index, std::int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

SqliteStatement& SqliteStatement::bind(int index, std::string_view text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

SqliteStatement& SqliteStatement::bind(int index, const void* data, int size) {
  sqlite3_bind_blob(stmt_, index, data, size, SQLITE_TRANSIENT);
  return *this;
}

SqliteStatement& SqliteStatement::bindNull(int index) {
  sqlite3_bind_null(stmt_, index);
  return *this;
}

int SqliteStatement::step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }

bool SqliteStatement::run() {
  int rc;
  while ((rc = step()) == SQLITE_ROW) {
  }
  reset();
  return rc == SQLITE_DONE;
}

void SqliteStatement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::int64_t SqliteStatement::integer(int column) const {
  return sqlite3_column_int64(stmt_, column);
}
double SqliteStatement::real(int column) const { return sqlite3_column_double(stmt_, column); }

std::string SqliteStatement::text(int column) const {
  const auto* p = sqlite3_column_text(stmt_, column);
  return p ? std::string(reinterpret_cast<const char*>(p),
                         static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
           : std::string();
}

std::string SqliteStatement::blob(int column) const {
  const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
  return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
           : std::string();
}

bool SqliteStatement::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

SqliteDb::~SqliteDb() { close(); }

bool SqliteDb::open(const std::string& path, bool readOnly) {
  close();
  const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) return false;
  // A reader meeting a checkpoint in progress waits a moment rather than failing at once.
  sqlite3_busy_timeout(db_, 250);
  return true;
}

void SqliteDb::close() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool SqliteDb::exec(std::string_view sql) {
  return sqlite3_exec(db_, std::string(sql).c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::int64_t SqliteDb::scalar(std::string_view sql, std::int64_t fallback) {
  SqliteStatement statement(db_, sql);
  if (statement.step() != SQLITE_ROW) return fallback;
  return statement.integer(0);
}

std::string SqliteDb::error() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }

int SqliteDb::errorCode() const { return db_ ? sqlite3_errcode(db_) : SQLITE_NOMEM; }

}  // namespace varnley
