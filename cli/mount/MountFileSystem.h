// MountFileSystem is the mount's file system, path by path as the kernel asks
// (FuseSession adapts it): listings from the DirectoryCache, file contents as
// whole-file copies in the cache folder (downloaded at the first open, shared
// by later opens while the remote revision is unchanged), every change made
// on the copy and queued for the Uploader. Namespace changes go to the
// service at once. Methods return 0 or a negative errno and may be called
// from many threads at once.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/mount/DirectoryCache.h"
#include "cli/mount/RemoteFolder.h"
#include "cli/mount/UploadQueue.h"
#include "cli/mount/Uploader.h"

namespace nb::cli::mount {

struct MountSettings {
  std::string cacheFolder;  // holds files/ (the copies) and the queue
  std::chrono::milliseconds dirCacheTime{30'000};
  std::chrono::milliseconds writeBack{5'000};
  // Bytes the cached copies may take; beyond it the least recently used clean
  // copies are dropped (never one waiting to be stored). 0: no limit.
  std::uint64_t cacheMaxSize = 0;
};

class MountFileSystem {
 public:
  MountFileSystem(const RemoteFolder& remote, UploadQueue& queue, const MountSettings& settings);
  ~MountFileSystem();

  int getattr(const std::string& path, struct stat* info);
  int readdir(const std::string& path, std::vector<std::pair<std::string, struct stat>>* entries);
  // `keepCache` tells whether the kernel may keep what it cached of the file:
  // false when the copy was downloaded (or truncated) by this open.
  int open(const std::string& path, int flags, std::uint64_t* handle, bool* keepCache);
  int create(const std::string& path, mode_t mode, int flags, std::uint64_t* handle);
  int read(std::uint64_t handle, char* buffer, std::size_t size, off_t offset);
  int write(std::uint64_t handle, const char* buffer, std::size_t size, off_t offset);
  int truncate(const std::string& path, off_t size, const std::uint64_t* handle);
  int release(std::uint64_t handle);
  int utimens(const std::string& path, const struct timespec times[2]);
  int mkdir(const std::string& path);
  int rmdir(const std::string& path);
  int unlink(const std::string& path);
  int rename(const std::string& from, const std::string& to, bool noReplace);
  int statfs(struct statvfs* info);

  Uploader& uploader() { return *uploader_; }
  // Ends the handles the kernel did not release (the session ended): their
  // files are queued as after a close.
  void releaseAll();

 private:
  struct Handle {
    int fd = -1;
    std::string path;  // empty once the file was unlinked
    bool wrote = false;
  };
  std::string local(const std::string& path) const { return files_ + path; }
  // The cached copy of `path` up to date with `entry`, downloaded if needed.
  int fetch(const std::string& path, const RemoteEntry& entry, bool* downloaded = nullptr);
  // Whether the cached copy of `path` is the one to show (it holds changes).
  bool localIsNewer(const std::string& path) const { return queue_.contains(path); }
  // Queues the change of `path`; `base` is the revision it started from
  // (by default the cached copy's).
  int queueChange(const std::string& path, std::optional<std::string> base = std::nullopt);
  std::uint64_t addHandle(int fd, const std::string& path);
  bool openForWriting(const std::string& path);
  void stored(const std::string& path, const std::string& storedAs, const std::string& version);
  // The entry `path`: the cached copy's when newer, else the listing's.
  int lookUp(const std::string& path, struct stat* info);
  void fillFromEntry(const RemoteEntry& entry, struct stat* info) const;
  int removeFile(const std::string& path, bool remote);
  // Asks the service for the account's quota (when the known one is older
  // than a few seconds, unless `now`). Not on a path that a program waits on.
  void refreshQuota(bool now = false);
  // 0, or -EFBIG / -EDQUOT when growing `path` from `size` bytes to `end`
  // would pass the largest file or the account's free space (as last known,
  // with the stored copy it replaces counted free).
  int roomFor(const std::string& path, off_t size, off_t end);
  // Drops clean copies, least recently used first, while the cache holds
  // more than settings_.cacheMaxSize.
  void evict();

  const RemoteFolder& remote_;
  UploadQueue& queue_;
  const MountSettings settings_;
  const std::string files_;
  DirectoryCache listings_;

  std::mutex mutex_;  // guards the members below
  std::map<std::uint64_t, Handle> handles_;
  std::uint64_t nextHandle_ = 1;
  // A copy in the cache that holds a revision of the service's.
  struct CleanCopy {
    std::string version;
    std::uint64_t size = 0;
    std::uint64_t lastUse = 0;  // a tick of useClock_
  };
  std::map<std::string, CleanCopy> clean_;  // by path
  std::uint64_t useClock_ = 0;
  std::optional<Quota> quota_;
  std::chrono::steady_clock::time_point quotaFetched_;
  std::map<std::string, std::shared_ptr<std::mutex>> fetching_;  // one download per path

  std::unique_ptr<Uploader> uploader_;  // last: stopped before the state it uses goes
};

}  // namespace nb::cli::mount
