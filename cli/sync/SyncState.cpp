#include "cli/sync/SyncState.h"

#include <filesystem>
#include <string_view>
#include <unordered_set>

#include "cli/sync/ContentHash.h"
#include "nb/platform/DataHome.h"
#include "nb/platform/SqliteDatabase.h"

namespace nb::cli {
namespace {

Status failure(const std::string& what, const SqliteStatus& status) {
  return Status::ioError("the sync state " + what + ": " + status.message);
}

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS files("
    " relative TEXT PRIMARY KEY, remote_size INTEGER NOT NULL, remote_time TEXT NOT NULL,"
    " remote_rev TEXT NOT NULL, device INTEGER NOT NULL, inode INTEGER NOT NULL,"
    " size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL,"
    " sha256 TEXT NOT NULL);";

std::string absolute(const std::string& localRoot) {
  std::error_code error;
  const auto path = std::filesystem::weakly_canonical(std::filesystem::absolute(localRoot), error);
  return error ? localRoot : path.string();
}

}  // namespace

std::string SyncState::fileFor(const std::string& localRoot, const std::string& remoteRoot) {
  ContentHash name;
  name.add(absolute(localRoot));
  name.add(std::string_view("\0", 1));
  name.add(remoteRoot);
  return DataHome::path() + "/sync/" + name.hex().substr(0, 32) + ".db";
}

Result<std::unique_ptr<SyncState>> SyncState::open(const std::string& localRoot,
                                                   const std::string& remoteRoot) {
  const std::string file = fileFor(localRoot, remoteRoot);
  if (auto error = DataHome::ensureFolder(std::filesystem::path(file).parent_path().string())) {
    return Status::ioError("the sync state's folder: " + *error);
  }
  SqliteStatus status;
  auto db = SqliteDatabase::open(file, &status);
  if (!db) return failure("cannot be opened (" + file + ")", status);
  if (status = db->exec(kSchema); !status.ok()) return failure("cannot be set up", status);
  auto version = db->prepare("SELECT value FROM meta WHERE key = 'schema'", &status);
  if (!version) return failure("cannot be read", status);
  if (version->step()) {
    if (version->text(0) != std::to_string(kSchemaVersion)) {
      return Status::corruption("the sync state " + file + " has schema " + version->text(0) +
                                ", this nb knows " + std::to_string(kSchemaVersion));
    }
  } else {
    const std::string pair = "INSERT OR REPLACE INTO meta VALUES ('schema', '" +
                             std::to_string(kSchemaVersion) + "'), ('local', ?1), ('remote', ?2)";
    auto insert = db->prepare(pair, &status);
    if (!insert) return failure("cannot be written", status);
    insert->bind(1, absolute(localRoot));
    insert->bind(2, remoteRoot);
    insert->step();
    if (!insert->status().ok()) return failure("cannot be written", insert->status());
  }
  version.reset();
  std::unique_ptr<SyncState> state(new SyncState(std::move(db)));
  if (Status loaded = state->load(); !loaded.ok()) return loaded;
  return state;
}

SyncState::SyncState(std::unique_ptr<SqliteDatabase> db) : db_(std::move(db)) {}
SyncState::~SyncState() = default;

Status SyncState::load() {
  SqliteStatus status;
  auto rows = db_->prepare(
      "SELECT relative, remote_size, remote_time, remote_rev, device, inode, size, mtime_ns,"
      " ctime_ns, sha256 FROM files",
      &status);
  if (!rows) return failure("cannot be read", status);
  while (rows->step()) {
    FileState state;
    state.remote = {static_cast<std::uint64_t>(rows->int64(1)), rows->text(2), rows->text(3)};
    state.local = {static_cast<std::uint64_t>(rows->int64(4)),
                   static_cast<std::uint64_t>(rows->int64(5)),
                   static_cast<std::uint64_t>(rows->int64(6)), rows->int64(7), rows->int64(8)};
    state.sha256 = rows->text(9);
    files_.emplace(rows->text(0), std::move(state));
  }
  if (!rows->status().ok()) return failure("cannot be read", rows->status());
  return Status::OK();
}

const FileState* SyncState::find(const std::string& relative) const {
  const auto found = files_.find(relative);
  return found == files_.end() ? nullptr : &found->second;
}

Memory SyncState::compare(const std::string& relative, const TreeEntry& local,
                          const TreeEntry& remote) const {
  const FileState* known = find(relative);
  if (known == nullptr) return Memory::kUnknown;
  return known->local == identityOf(local) && known->remote == stampOf(remote) ? Memory::kInStep
                                                                               : Memory::kChanged;
}

LocalIdentity SyncState::identityOf(const TreeEntry& local) {
  return {local.device, local.inode, local.size, local.modifiedNs, local.changedNs};
}

RemoteStamp SyncState::stampOf(const TreeEntry& remote) {
  return {remote.size, remote.modifyTime, remote.rev};
}

Status SyncState::save(const std::vector<std::pair<std::string, FileState>>& files,
                       const std::vector<std::string>& gone) {
  if (files.empty() && gone.empty()) return Status::OK();
  SqliteStatus status = db_->begin();
  if (!status.ok()) return failure("cannot be written", status);
  auto forget = db_->prepare(
      // What is below a folder is the range of paths from "folder/" up to
      // "folder0" ('0' follows '/'), which the primary key's index finds.
      "DELETE FROM files WHERE relative = ?1 OR (relative > ?1 || '/' AND relative < ?1 || '0')",
      &status);
  auto record = db_->prepare(
      "INSERT OR REPLACE INTO files VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)", &status);
  if (!forget || !record) {
    db_->rollback();
    return failure("cannot be written", status);
  }
  for (const std::string& relative : gone) {
    forget->bind(1, relative);
    forget->step();
    if (!forget->status().ok()) status = forget->status();
    forget->reset();
  }
  for (const auto& [relative, file] : files) {
    record->bind(1, relative);
    record->bind(2, static_cast<std::int64_t>(file.remote.size));
    record->bind(3, file.remote.time);
    record->bind(4, file.remote.rev);
    record->bind(5, static_cast<std::int64_t>(file.local.device));
    record->bind(6, static_cast<std::int64_t>(file.local.inode));
    record->bind(7, static_cast<std::int64_t>(file.local.size));
    record->bind(8, static_cast<std::int64_t>(file.local.modifiedNs));
    record->bind(9, static_cast<std::int64_t>(file.local.changedNs));
    record->bind(10, file.sha256);
    record->step();
    if (!record->status().ok()) status = record->status();
    record->reset();
  }
  forget.reset();
  record.reset();
  if (!status.ok()) {
    db_->rollback();
    return failure("cannot be written", status);
  }
  if (status = db_->commit(); !status.ok()) return failure("cannot be written", status);
  if (!gone.empty()) {
    // A path goes when it or one of its folders is gone.
    const std::unordered_set<std::string_view> goneSet(gone.begin(), gone.end());
    for (auto it = files_.begin(); it != files_.end();) {
      std::string_view path = it->first;
      bool isGone = goneSet.count(path) > 0;
      for (auto slash = path.rfind('/'); !isGone && slash != std::string_view::npos;
           slash = path.rfind('/', slash - 1)) {
        isGone = goneSet.count(path.substr(0, slash)) > 0;
        if (slash == 0) break;
      }
      it = isGone ? files_.erase(it) : std::next(it);
    }
  }
  for (const auto& [relative, file] : files) files_[relative] = file;
  return Status::OK();
}

}  // namespace nb::cli
