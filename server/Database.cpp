#include "server/Database.h"

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
CREATE TABLE IF NOT EXISTS copy_refs(ref TEXT PRIMARY KEY, user_id INTEGER NOT NULL,
  root TEXT NOT NULL, path TEXT NOT NULL, created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS shares(id TEXT PRIMARY KEY, user_id INTEGER NOT NULL,
  root TEXT NOT NULL, path TEXT NOT NULL, name TEXT, access_code TEXT,
  created INTEGER NOT NULL);
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

}  // namespace

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
  if (!status.ok()) return Status::ioError(path + ": " + status.message);
  return std::unique_ptr<Database>(new Database(std::move(db)));
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
          "DELETE FROM versions; DELETE FROM copy_refs; DELETE FROM shares; COMMIT;")
      .ok();
}

}  // namespace nb::server
