// SqliteDatabase: a small RAII layer over SQLite for the library's stores and
// the emulator. One object owns one connection; use it from one thread at a
// time. Several processes may share a file: connections wait for locks
// (busy timeout) and writers use IMMEDIATE transactions, so concurrent
// writers serialise instead of failing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace nb {

// The outcome of a database call: ok, or SQLite's result code and message.
struct SqliteStatus {
  int code = 0;  // SQLite's primary result code; 0 is success
  std::string message;
  bool ok() const { return code == 0; }
};

class SqliteStatement;

class SqliteDatabase {
 public:
  // How a database keeps its journal. WAL lets readers and a writer work at
  // once, but every opening creates the -wal and -shm files and the last
  // closing removes them. A rollback journal is made only while a write
  // commits, so a store that is mostly read by short-lived processes opens
  // without creating any file.
  enum class Journal { kWal, kRollback };

  // Opens (creating when absent) the file at `path`; a new file gets `mode`.
  // The journal and a busy timeout are set. Safe when other processes create
  // the same file at the same moment (the switch to WAL is retried while busy;
  // a file that another connection holds in WAL mode stays so until it can be
  // switched to a rollback journal).
  static std::unique_ptr<SqliteDatabase> open(const std::string& path, SqliteStatus* status,
                                              int mode = 0600, Journal journal = Journal::kWal);
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  // Runs one or more statements without results.
  SqliteStatus exec(std::string_view sql);
  // Compiles one statement; nullptr with `status` set on failure.
  std::unique_ptr<SqliteStatement> prepare(std::string_view sql, SqliteStatus* status);

  // BEGIN IMMEDIATE / COMMIT / ROLLBACK.
  SqliteStatus begin();
  SqliteStatus commit();
  void rollback();

  std::int64_t lastInsertRowId() const;
  int changes() const;
  sqlite3* handle() const { return db_; }

 private:
  explicit SqliteDatabase(sqlite3* db) : db_(db) {}
  static std::unique_ptr<SqliteDatabase> openOnce(const std::string& path, SqliteStatus* status,
                                                  int mode, Journal journal);
  sqlite3* db_;
};

// A compiled statement. Bind indexes start at 1, column indexes at 0.
class SqliteStatement {
 public:
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  void bind(int index, std::string_view text);
  void bind(int index, std::int64_t value);
  void bindBlob(int index, const void* data, std::size_t size);
  void bindNull(int index);

  // Advances: true while a row is available; false at the end or on error
  // (then status() tells which).
  bool step();
  const SqliteStatus& status() const { return status_; }
  // Resets for another run with new bindings.
  void reset();

  bool isNull(int column) const;
  std::string text(int column) const;
  std::int64_t int64(int column) const;
  std::vector<std::uint8_t> blob(int column) const;

 private:
  friend class SqliteDatabase;
  SqliteStatement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  sqlite3* db_;
  sqlite3_stmt* stmt_;
  SqliteStatus status_;
};

}  // namespace nb
