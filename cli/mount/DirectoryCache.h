// DirectoryCache keeps the listings of the mounted folders for a while
// (--dir-cache-time), so that getattr and readdir do not ask the service each
// time. The mount's own changes drop the listings they touch, so they show at
// once; other people's changes show once a listing has expired.
// Owned by the mount's file system; any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cli/mount/RemoteFolder.h"

namespace nb::cli::mount {

class DirectoryCache {
 public:
  DirectoryCache(const RemoteFolder& remote, std::chrono::milliseconds lifetime);

  // The listing of the folder `path`, cached or fetched.
  Result<std::shared_ptr<const RemoteListing>> listing(const std::string& path);
  // The entry `path` from its parent's listing; "/" is the mounted folder.
  Result<RemoteEntry> entry(const std::string& path);
  // Forgets the listing of `path` and of every folder below it.
  void forget(const std::string& path);
  // Our own change of `path`: its entry in its parent's cached listing
  // becomes `entry`, or goes when there is none.
  void update(const std::string& path, const std::optional<RemoteEntry>& entry);

  // "/a" for "/a/b", "/" for "/a".
  static std::string parentOf(const std::string& path);
  static std::string nameOf(const std::string& path);

 private:
  struct Cached {
    std::shared_ptr<const RemoteListing> listing;
    std::chrono::steady_clock::time_point fetched;
  };
  const RemoteFolder& remote_;
  const std::chrono::milliseconds lifetime_;
  std::mutex mutex_;
  std::map<std::string, Cached> cached_;
  // Count the changes (forget() anywhere, update() per folder): a listing
  // fetched while one came may miss it, and is not kept.
  std::uint64_t forgotten_ = 0;
  std::map<std::string, std::uint64_t> updated_;
};

}  // namespace nb::cli::mount
