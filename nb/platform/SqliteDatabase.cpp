#include "nb/platform/SqliteDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace nb {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// The one place SQLite results become our status.
SqliteStatus statusOf(sqlite3* db, int result) {
  if (result == SQLITE_OK || result == SQLITE_DONE || result == SQLITE_ROW) return {};
  return {result & 0xFF, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(result)};
}

}  // namespace

// One attempt: create the file with `mode`, connect, set the journal.
std::unique_ptr<SqliteDatabase> SqliteDatabase::openOnce(const std::string& path,
                                                         SqliteStatus* status, int mode,
                                                         Journal journal) {
  // Create the file ourselves so that it never exists with a wider mode. An
  // existing file is not opened here: closing any descriptor of a file drops
  // every lock this process holds on it, the locks of open connections too.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno != EEXIST) {
    *status = {SQLITE_CANTOPEN, "cannot open " + path + ": " + std::strerror(errno)};
    return nullptr;
  }

  sqlite3* db = nullptr;
  const int result = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (result != SQLITE_OK) {
    *status = statusOf(db, result);
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  std::unique_ptr<SqliteDatabase> database(new SqliteDatabase(db));
  if (journal == Journal::kRollback) {
    // A file another connection holds in WAL mode cannot switch now; it works
    // as it is and switches at a later opening.
    const SqliteStatus switched = database->exec("PRAGMA journal_mode=DELETE;");
    if (!switched.ok() && switched.code != SQLITE_BUSY && switched.code != SQLITE_LOCKED) {
      *status = switched;
      return nullptr;
    }
    *status = {};
    return database;
  }
  *status = database->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  if (!status->ok()) return nullptr;
  return database;
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::open(const std::string& path, SqliteStatus* status,
                                                     int mode, Journal journal) {
  // SQLite answers "busy" without waiting when two connections switch a new
  // file to WAL together, so that case is retried for up to the busy timeout.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  SqliteStatus local;
  for (int attempt = 0;; ++attempt) {
    auto database = openOnce(path, &local, mode, journal);
    if (database || local.code != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) {
      if (status) *status = local;
      return database;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + attempt % 10));
  }
}

SqliteDatabase::~SqliteDatabase() { sqlite3_close(db_); }

SqliteStatus SqliteDatabase::exec(std::string_view sql) {
  const std::string text(sql);
  return statusOf(db_, sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr));
}

std::unique_ptr<SqliteStatement> SqliteDatabase::prepare(std::string_view sql,
                                                         SqliteStatus* status) {
  sqlite3_stmt* stmt = nullptr;
  const int result =
      sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
  if (status) *status = statusOf(db_, result);
  if (result != SQLITE_OK) return nullptr;
  return std::unique_ptr<SqliteStatement>(new SqliteStatement(db_, stmt));
}

SqliteStatus SqliteDatabase::begin() { return exec("BEGIN IMMEDIATE"); }
SqliteStatus SqliteDatabase::commit() { return exec("COMMIT"); }
void SqliteDatabase::rollback() { exec("ROLLBACK"); }

std::int64_t SqliteDatabase::lastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }
int SqliteDatabase::changes() const { return sqlite3_changes(db_); }

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

void SqliteStatement::bind(int index, std::string_view text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}
void SqliteStatement::bind(int index, std::int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
}
void SqliteStatement::bindBlob(int index, const void* data, std::size_t size) {
  sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_TRANSIENT);
}
void SqliteStatement::bindNull(int index) { sqlite3_bind_null(stmt_, index); }

bool SqliteStatement::step() {
  const int result = sqlite3_step(stmt_);
  status_ = statusOf(db_, result);
  return result == SQLITE_ROW;
}

void SqliteStatement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  status_ = {};
}

bool SqliteStatement::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}
std::string SqliteStatement::text(int column) const {
  const auto* data = sqlite3_column_text(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
}
std::int64_t SqliteStatement::int64(int column) const {
  return sqlite3_column_int64(stmt_, column);
}
std::vector<std::uint8_t> SqliteStatement::blob(int column) const {
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
  const int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::vector<std::uint8_t>(data, data + size) : std::vector<std::uint8_t>();
}

}  // namespace nb
