#include "cli/mount/UploadQueue.h"

#include "nb/platform/SqliteDatabase.h"

namespace nb::cli::mount {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS uploads ("
    " path TEXT PRIMARY KEY, change INTEGER NOT NULL, attempts INTEGER NOT NULL,"
    " not_before INTEGER NOT NULL, error TEXT NOT NULL, base TEXT NOT NULL);";

Status failure(const SqliteStatus& status) {
  return Status::ioError("the upload queue: " + status.message);
}

// Whether `path` is `folder` or lies below it.
bool within(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path == folder || (path.starts_with(folder) && path[folder.size()] == '/');
}

}  // namespace

Result<std::unique_ptr<UploadQueue>> UploadQueue::open(const std::string& file) {
  SqliteStatus status;
  auto db = SqliteDatabase::open(file, &status);
  if (!db) return failure(status);
  // Committed rows survive a crash of the mount (the log is written at each
  // commit); like the cached copies, the last ones may not survive one of the
  // machine, which would cost a sync of the disk at every change.
  if (status = db->exec(std::string(kSchema) + "PRAGMA synchronous=NORMAL;"); !status.ok()) {
    return failure(status);
  }
  auto queue = std::unique_ptr<UploadQueue>(new UploadQueue(std::move(db)));
  queue->reload();
  return queue;
}

UploadQueue::UploadQueue(std::unique_ptr<SqliteDatabase> db) : db_(std::move(db)) {}
UploadQueue::~UploadQueue() = default;

void UploadQueue::reload() {
  paths_.clear();
  for (const QueuedUpload& row : readRows()) paths_.insert(row.path);
}

Status UploadQueue::run(const char* sql, const std::vector<std::string>& texts,
                        const std::vector<std::int64_t>& numbers) {
  SqliteStatus status;
  auto statement = db_->prepare(sql, &status);
  if (!statement) return failure(status);
  int index = 1;
  for (const std::string& text : texts) statement->bind(index++, text);
  for (const std::int64_t number : numbers) statement->bind(index++, number);
  statement->step();
  if (!statement->status().ok()) return failure(statement->status());
  return Status::OK();
}

Status UploadQueue::changed(const std::string& path, std::int64_t notBefore,
                            const std::string& base) {
  std::lock_guard lock(mutex_);
  Status status =
      run("INSERT INTO uploads VALUES (?1, 1, 0, ?3, '', ?2) ON CONFLICT(path) DO UPDATE SET"
          " change = change + 1, attempts = 0, not_before = ?3, error = ''",
          {path, base}, {notBefore});
  if (status.ok()) paths_.insert(path);
  return status;
}

Status UploadQueue::stored(const std::string& path, std::int64_t change,
                           const std::string& version) {
  std::lock_guard lock(mutex_);
  Status status = run("DELETE FROM uploads WHERE path = ?1 AND change = ?2", {path}, {change});
  if (!status.ok()) return status;
  if (db_->changes() > 0) {
    paths_.erase(path);
    return status;
  }
  return run("UPDATE uploads SET base = ?2 WHERE path = ?1", {path, version}, {});
}

Status UploadQueue::failed(const std::string& path, std::int64_t change, std::int64_t notBefore,
                           const std::string& error) {
  std::lock_guard lock(mutex_);
  return run(
      "UPDATE uploads SET attempts = attempts + 1, not_before = ?3, error = ?2"
      " WHERE path = ?1 AND change = ?4",
      {path, error}, {notBefore, change});
}

Status UploadQueue::renamed(const std::string& path, const std::string& to) {
  std::lock_guard lock(mutex_);
  // A row already at the new name stands for bytes the rename replaced.
  Status status =
      run("DELETE FROM uploads WHERE path = ?2 OR substr(path, 1, length(?2) + 1) = ?2 || '/'",
          {path == to ? "" : to}, {});
  if (status.ok()) {
    status =
        run("UPDATE uploads SET path = ?2 || substr(path, length(?1) + 1)"
            " WHERE path = ?1 OR substr(path, 1, length(?1) + 1) = ?1 || '/'",
            {path, to}, {});
  }
  reload();
  return status;
}

Status UploadQueue::removed(const std::string& path) {
  std::lock_guard lock(mutex_);
  Status status = run("DELETE FROM uploads WHERE path = ?1", {path}, {});
  if (status.ok()) paths_.erase(path);
  return status;
}

Status UploadQueue::allDue() {
  std::lock_guard lock(mutex_);
  return run("UPDATE uploads SET not_before = 0 WHERE attempts = 0", {}, {});
}

bool UploadQueue::contains(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return paths_.contains(path);
}

std::vector<std::string> UploadQueue::childrenOf(const std::string& folder) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> children;
  const std::string prefix = folder == "/" ? "/" : folder + "/";
  for (auto it = paths_.lower_bound(prefix); it != paths_.end() && it->starts_with(prefix); ++it) {
    if (it->find('/', prefix.size()) == std::string::npos) children.push_back(*it);
  }
  return children;
}

bool UploadQueue::anyBelow(const std::string& folder) const {
  std::lock_guard lock(mutex_);
  for (const std::string& path : paths_) {
    if (path != folder && within(path, folder)) return true;
  }
  return false;
}

std::vector<QueuedUpload> UploadQueue::rows() const {
  std::lock_guard lock(mutex_);
  return readRows();
}

std::vector<QueuedUpload> UploadQueue::readRows() const {
  std::vector<QueuedUpload> rows;
  SqliteStatus status;
  auto statement = db_->prepare(
      "SELECT path, change, attempts, not_before, error, base FROM uploads"
      " ORDER BY not_before, path",
      &status);
  if (!statement) return rows;
  while (statement->step()) {
    rows.push_back({statement->text(0), statement->int64(1), statement->int64(2),
                    statement->int64(3), statement->text(4), statement->text(5)});
  }
  return rows;
}

std::size_t UploadQueue::size() const {
  std::lock_guard lock(mutex_);
  return paths_.size();
}

}  // namespace nb::cli::mount
