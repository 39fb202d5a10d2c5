// A thin hold on SQLite's C API: a connection and prepared statements that finalise themselves,
// and the text of the last error, so the history code reads as SQL and not as bookkeeping.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace varnley {

class SqliteStatement {
 public:
  SqliteStatement() = default;
  SqliteStatement(sqlite3* db, std::string_view sql);
  ~SqliteStatement();
  SqliteStatement(SqliteStatement&& other) noexcept;
  SqliteStatement& operator=(SqliteStatement&& other) noexcept;
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  bool valid() const { return stmt_ != nullptr; }
  // Binding is 1-based as in SQL; each returns *this so a call reads as one line.
  SqliteStatement& bind(int index, std::int64_t value);
  SqliteStatement& bind(int index, std::string_view text);
  SqliteStatement& bind(int index, const void* data, int size);
  SqliteStatement& bindNull(int index);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  // Runs to the end; true when it finished without error.
  bool run();
  void reset();

  std::int64_t integer(int column) const;
  double real(int column) const;
  std::string text(int column) const;
  std::string blob(int column) const;
  bool isNull(int column) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

class SqliteDb {
 public:
  SqliteDb() = default;
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  // flags as sqlite3_open_v2 takes them; false with error() set when it failed.
  bool open(const std::string& path, bool readOnly);
  void close();
  bool isOpen() const { return db_ != nullptr; }
  sqlite3* handle() const { return db_; }

  // Runs one or more statements without results.
  bool exec(std::string_view sql);
  SqliteStatement prepare(std::string_view sql) { return SqliteStatement(db_, sql); }
  // The first column of the first row, or fallback.
  std::int64_t scalar(std::string_view sql, std::int64_t fallback = 0);
  std::string error() const;
  int errorCode() const;

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace varnley
