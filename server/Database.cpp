#include "server/Database.h"

#include <sqlite3.h>

#include <chrono>
#include <stdexcept>

namespace nb::server {
namespace {

constexpr std::string_view kSchema = R"sql(
CREATE TABLE IF NOT EXISTS consumers(key TEXT PRIMARY KEY, secret TEXT NOT NULL,
  name TEXT NOT NULL, dev INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE,
  password TEXT NOT NULL, quota_total INTEGER NOT NULL, max_file_size INTEGER NOT NULL,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS tokens(token TEXT PRIMARY KEY, secret TEXT NOT NULL,
  consumer TEXT NOT NULL, user_id INTEGER, kind TEXT NOT NULL,
  authorised INTEGER NOT NULL DEFAULT 0, revoked INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS nonces(consumer TEXT NOT NULL, nonce TEXT NOT NULL,
  seen INTEGER NOT NULL, PRIMARY KEY(consumer, nonce)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS nonces_seen ON nonces(seen);
CREATE TABLE IF NOT EXISTS challenges(authid TEXT PRIMARY KEY, code TEXT NOT NULL,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS sessions(id TEXT PRIMARY KEY, user_id INTEGER NOT NULL,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS entries(id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL,
  root TEXT NOT NULL, path TEXT NOT NULL, parent TEXT NOT NULL, name TEXT NOT NULL,
  is_dir INTEGER NOT NULL, size INTEGER NOT NULL, blob TEXT, rev INTEGER NOT NULL,
  file_id TEXT NOT NULL, created INTEGER NOT NULL, modified INTEGER NOT NULL,
  UNIQUE(user_id, root, path));
CREATE INDEX IF NOT EXISTS entries_parent ON entries(user_id, root, parent);
CREATE TABLE IF NOT EXISTS versions(rev INTEGER PRIMARY KEY, file_id TEXT NOT NULL,
  user_id INTEGER NOT NULL, blob TEXT NOT NULL, size INTEGER NOT NULL,
  created INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS versions_file ON versions(file_id);
CREATE INDEX IF NOT EXISTS versions_blob ON versions(blob);
CREATE TABLE IF NOT EXISTS deleted_files(file_id TEXT PRIMARY KEY, deleted INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS deleted_files_time ON deleted_files(deleted);
CREATE TABLE IF NOT EXISTS copy_refs(ref TEXT PRIMARY KEY, user_id INTEGER NOT NULL,
  root TEXT NOT NULL, path TEXT NOT NULL, created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS shares(id TEXT PRIMARY KEY, user_id INTEGER NOT NULL,
  root TEXT NOT NULL, path TEXT NOT NULL, name TEXT, access_code TEXT,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS usage(user_id INTEGER PRIMARY KEY, bytes INTEGER NOT NULL);
CREATE TRIGGER IF NOT EXISTS usage_insert AFTER INSERT ON entries BEGIN
  INSERT INTO usage(user_id, bytes) VALUES(NEW.user_id, NEW.size)
    ON CONFLICT(user_id) DO UPDATE SET bytes = bytes + excluded.bytes;
END;
CREATE TRIGGER IF NOT EXISTS usage_delete AFTER DELETE ON entries BEGIN
  UPDATE usage SET bytes = bytes - OLD.size WHERE user_id = OLD.user_id;
END;
CREATE TRIGGER IF NOT EXISTS usage_update AFTER UPDATE OF user_id, size ON entries BEGIN
  UPDATE usage SET bytes = bytes - OLD.size WHERE user_id = OLD.user_id;
  INSERT INTO usage(user_id, bytes) VALUES(NEW.user_id, NEW.size)
    ON CONFLICT(user_id) DO UPDATE SET bytes = bytes + excluded.bytes;
END;
)sql";

// Each user's bytes in use are the sum of their entries' sizes. The triggers
// above keep `usage` equal to it on every change, so that the quota check of
// an upload reads one row instead of summing every file the user has. It is
// summed afresh at each opening: a file from before the triggers, or one
// changed behind the emulator's back, starts right.
constexpr std::string_view kRecountUsage = R"sql(
BEGIN IMMEDIATE;
DELETE FROM usage;
INSERT INTO usage(user_id, bytes) SELECT user_id, SUM(size) FROM entries GROUP BY user_id;
COMMIT;
)sql";

// Columns added after the first schema; each is added to an older file once
// (SQLite refuses a column that exists, which is taken as done).
constexpr std::string_view kAddedColumns[] = {
    "ALTER TABLE copy_refs ADD COLUMN file_id TEXT",
    "ALTER TABLE copy_refs ADD COLUMN blob TEXT",
    "ALTER TABLE copy_refs ADD COLUMN size INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE shares ADD COLUMN file_id TEXT",
    "ALTER TABLE shares ADD COLUMN failed_codes INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE shares ADD COLUMN locked_until INTEGER NOT NULL DEFAULT 0",
};

// How often the checkpointer looks at the log.
constexpr std::chrono::milliseconds kCheckpointPeriod{100};
// Frames (pages) still outside the file that the checkpointer leaves for its
// next round rather than chase now.
constexpr std::int64_t kCheckpointTail = 64;
// A log this long (64 MiB of pages) is brought to its end under the lock, so
// that the next commit starts it over: with commits arriving all the time, a
// checkpoint that runs beside them never finds the log wholly copied, and the
// log would grow without end. That last step syncs the disk, which can take
// tens of milliseconds on a busy machine, so it is kept rare: about once a
// second under a steady 8,000 signed requests/s.
constexpr std::int64_t kRestartFrames = 16384;

}  // namespace

// The checkpointer's own connection, beside the serving one.
struct Database::CheckpointConnection {
  std::unique_ptr<SqliteDatabase> db;
  std::unique_ptr<SqliteStatement> checkpoint;
  std::string open(const std::string& path) {
    SqliteStatus status;
    db = SqliteDatabase::open(path, &status);
    if (db) status = db->exec("PRAGMA synchronous=FULL;");
    if (status.ok()) checkpoint = db->prepare("PRAGMA wal_checkpoint(PASSIVE)", &status);
    return status.ok() ? "" : status.message;
  }
  // One passive checkpoint (it never waits for a reader or writer): the log's
  // length in frames and how many of them are now in the file.
  void run(std::int64_t* log, std::int64_t* copied) {
    *log = *copied = 0;
    if (checkpoint->step()) {
      *log = checkpoint->int64(1);
      *copied = checkpoint->int64(2);
    }
    checkpoint->reset();
  }
};

Status Database::writeFailure(const SqliteStatus& failure) {
  if (failure.code == SQLITE_FULL) return Status::resourceExhausted("server error");
  return Status::ioError("server error");
}

int Database::replyStatus(const Status& failure) {
  return failure.code() == StatusCode::kResourceExhausted ? 507 : 503;
}

Result<std::unique_ptr<Database>> Database::open(const std::string& path) {
  SqliteStatus status;
  auto db = SqliteDatabase::open(path, &status);
  if (!db) return Status::ioError(path + ": " + status.message);
  // A committed upload must survive a power cut, not only a killed process.
  status = db->exec("PRAGMA synchronous=FULL;");
  if (status.ok()) status = db->exec(kSchema);
  if (status.ok()) {
    for (const auto column : kAddedColumns) {
      const auto added = db->exec(column);
      if (!added.ok() && added.message.find("duplicate column") == std::string::npos) {
        status = added;
        break;
      }
    }
  }
  if (status.ok()) status = db->exec(kRecountUsage);
  if (!status.ok()) return Status::ioError(path + ": " + status.message);
  return std::unique_ptr<Database>(new Database(std::move(db), path));
}

Database::~Database() {
  {
    std::lock_guard<std::mutex> guard(stopMutex_);
    stopping_ = true;
  }
  stopWake_.notify_all();
  if (checkpointer_.joinable()) checkpointer_.join();
}

Status Database::startCheckpointer() {
  if (checkpointer_.joinable()) return Status::OK();
  auto own = std::make_shared<CheckpointConnection>();
  if (const std::string error = own->open(path_); !error.empty()) {
    return Status::ioError(path_ + ": " + error);
  }
  {
    auto guard = lock();
    // The log starts over once wholly copied; one grown long under a burst
    // of commits is cut back then.
    if (const auto off =
            db_->exec("PRAGMA wal_autocheckpoint=0; PRAGMA journal_size_limit=16777216;");
        !off.ok()) {
      return Status::ioError(path_ + ": " + off.message);
    }
  }
  checkpointer_ = std::thread([this, own] { checkpointLoop(*own); });
  return Status::OK();
}

void Database::checkpointLoop(CheckpointConnection& own) {
  std::unique_lock<std::mutex> wait(stopMutex_);
  while (!stopWake_.wait_for(wait, kCheckpointPeriod, [this] { return stopping_; })) {
    wait.unlock();
    std::int64_t log = 0, copied = 0;
    // Beside the requests: each round copies what the previous one left, so
    // the rest shrinks while the disk keeps ahead of the commits.
    for (int round = 0; round < 8; ++round) {
      own.run(&log, &copied);
      if (log - copied <= kCheckpointTail) break;
    }
    // Usually only the last few frames are left to copy; past four times the
    // length, commits outrun the disk and wait for it.
    if ((log >= kRestartFrames && log - copied <= kCheckpointTail) || log >= 4 * kRestartFrames) {
      auto guard = lock();
      own.run(&log, &copied);
    }
    wait.lock();
  }
}

Database::Statement Database::statement(std::string_view text) {
  std::string key(text);
  if (const auto it = cache_.find(key); it != cache_.end()) {
    auto st = std::move(it->second);
    cache_.erase(it);
    return Statement(*this, std::move(key), std::move(st));
  }
  SqliteStatus status;
  auto st = db_->prepare(text, &status);
  if (!st) throw std::logic_error("bad statement: " + status.message);
  return Statement(*this, std::move(key), std::move(st));
}

Database::Statement::~Statement() {
  st_->reset();
  db_.cache_.emplace(std::move(key_), std::move(st_));
}

bool Database::wipe() {
  auto guard = lock();
  return db_
      ->exec(
          "BEGIN IMMEDIATE; DELETE FROM users; DELETE FROM tokens; DELETE FROM nonces;"
          "DELETE FROM challenges; DELETE FROM sessions; DELETE FROM entries;"
          "DELETE FROM versions; DELETE FROM copy_refs; DELETE FROM shares; DELETE FROM usage;"
          "COMMIT;")
      .ok();
}

}  // namespace nb::server
