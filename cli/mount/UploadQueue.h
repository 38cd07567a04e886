// UploadQueue is the mount's persistent list of files whose cached copy is
// newer than the service's: one row per path, kept in SQLite in the cache
// folder so that a mount that crashed or was interrupted finishes them on the
// next start. A row leaves the queue only when the bytes it stands for were
// stored (or the file was deleted or renamed in the mount). A copy of the
// paths is kept in memory for the file system's lookups. Any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "nb/Status.h"

namespace nb {
class SqliteDatabase;
}

namespace nb::cli::mount {

struct QueuedUpload {
  std::string path;
  std::int64_t change = 0;     // bumped by every change of the file
  std::int64_t attempts = 0;   // failed uploads of this change
  std::int64_t notBefore = 0;  // milliseconds since the epoch
  std::string error;           // the last failure
  // The service's revision the changes started from; "" for a new file.
  std::string base;
};

class UploadQueue {
 public:
  // Opens (or creates) the queue in `file`.
  static Result<std::unique_ptr<UploadQueue>> open(const std::string& file);
  ~UploadQueue();

  // The file at `path` changed; it is due at `notBefore` (ms since the epoch).
  // `base` is the revision the cached copy came from; a queued file keeps
  // the base of its first change.
  Status changed(const std::string& path, std::int64_t notBefore, const std::string& base);
  // The change `change` of `path` is stored as revision `version`; a later
  // change stays queued, based on that revision.
  Status stored(const std::string& path, std::int64_t change, const std::string& version);
  // The upload of `change` failed; it is tried again at `notBefore`.
  Status failed(const std::string& path, std::int64_t change, std::int64_t notBefore,
                const std::string& error);
  // `path` (or the folder `path` and everything below it) is now `to`.
  Status renamed(const std::string& path, const std::string& to);
  // `path` is gone; nothing of it is to be stored.
  Status removed(const std::string& path);

  // Every row not failed before is due now: nobody writes the files of an
  // earlier mount any more.
  Status allDue();

  bool contains(const std::string& path) const;
  // The queued paths directly inside the folder `folder`.
  std::vector<std::string> childrenOf(const std::string& folder) const;
  // Whether a queued path lies below the folder `folder`.
  bool anyBelow(const std::string& folder) const;
  // Every row, oldest due first.
  std::vector<QueuedUpload> rows() const;
  std::size_t size() const;

 private:
  explicit UploadQueue(std::unique_ptr<SqliteDatabase> db);
  Status run(const char* sql, const std::vector<std::string>& texts,
             const std::vector<std::int64_t>& numbers);
  void reload();
  std::vector<QueuedUpload> readRows() const;

  mutable std::mutex mutex_;
  std::unique_ptr<SqliteDatabase> db_;
  std::set<std::string> paths_;
};

}  // namespace nb::cli::mount
