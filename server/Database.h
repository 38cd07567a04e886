// Database: the emulator's metadata.db (SQLite, WAL) and its schema. One
// connection shared by the request threads; every user takes the lock for the
// duration of one store call, so statements never interleave.
//
// While serving, the write-ahead log is copied into the file by a thread of
// its own (startCheckpointer): a checkpoint syncs the disk twice, and run by
// the committing request under the lock it would stall every other request.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "nb/Status.h"
#include "nb/platform/SqliteDatabase.h"

namespace nb::server {

class Database {
 public:
  // Opens or creates `path` and brings the schema up to date.
  static Result<std::unique_ptr<Database>> open(const std::string& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Takes checkpoints off the request path: from now on a thread with its own
  // connection copies the log into the file, and commits no longer do. Call
  // once, before serving; the destructor stops the thread.
  Status startCheckpointer();

  std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }
  SqliteDatabase& sql() { return *db_; }

  // A compiled statement lent from the cache; back to it, reset, when the
  // holder goes. Use under lock() and let it go before the lock does.
  class Statement {
   public:
    Statement(Database& db, std::string key, std::unique_ptr<SqliteStatement> st)
        : db_(db), key_(std::move(key)), st_(std::move(st)) {}
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    SqliteStatement* operator->() const { return st_.get(); }
    SqliteStatement& operator*() const { return *st_; }

   private:
    Database& db_;
    std::string key_;
    std::unique_ptr<SqliteStatement> st_;
  };
  // One of our fixed statements, compiled once and then reused; a failure to
  // compile is a programming error (std::logic_error) unless the file failed.
  Statement statement(std::string_view text);

  // Removes every account, file and token; consumers stay.
  bool wipe();

  // A failed write of the server's own records, as a Status whose message is
  // the service keyword: resource exhausted when the disk is full.
  static Status writeFailure(const SqliteStatus& failure);
  // The reply status for such a failure: 507 for a full disk, 503 otherwise.
  // Either way the request was not accepted, and may be sent again later.
  static int replyStatus(const Status& failure);

 private:
  Database(std::unique_ptr<SqliteDatabase> db, std::string path)
      : db_(std::move(db)), path_(std::move(path)) {}
  struct CheckpointConnection;
  void checkpointLoop(CheckpointConnection& own);
  std::unique_ptr<SqliteDatabase> db_;
  std::string path_;
  std::mutex mutex_;
  // Statements not lent out, by their text (guarded by mutex_, as their use is).
  std::unordered_multimap<std::string, std::unique_ptr<SqliteStatement>> cache_;

  std::thread checkpointer_;
  std::mutex stopMutex_;
  std::condition_variable stopWake_;
  bool stopping_ = false;  // guarded by stopMutex_
};

// Runs a transaction: commits when `ok` is set by the body, rolls back otherwise
// (including when the body leaves by an early return).
class Transaction {
 public:
  explicit Transaction(SqliteDatabase& db) : db_(db), begun_(db.begin().ok()) {}
  ~Transaction() {
    if (begun_ && !done_) db_.rollback();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool begun() const { return begun_; }
  bool commit() {
    done_ = true;
    return begun_ && db_.commit().ok();
  }

 private:
  SqliteDatabase& db_;
  bool begun_;
  bool done_ = false;
};

}  // namespace nb::server
