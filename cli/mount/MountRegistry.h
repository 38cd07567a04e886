// MountRegistry notes which mount serves which mount point (its process and
// its cache folder), in small files under the user's cache folder, so that
// `nb mount --status` and `nb unmount` find a mount's queue from its mount
// point. It also names the default cache folder of a remote folder. Stateless.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "nb/Status.h"

namespace nb::cli::mount {

struct MountRecord {
  pid_t pid = 0;
  std::string cacheFolder;
};

class MountRegistry {
 public:
  // $XDG_CACHE_HOME/nb, else ~/.cache/nb.
  static std::string cacheBase();
  // Where the cached copies and the queue of `root`:`remote` live by default.
  static std::string defaultCacheFolder(const std::string& root, const std::string& remote);
  static Status record(const std::string& mountpoint, const MountRecord& record);
  static std::optional<MountRecord> find(const std::string& mountpoint);
  static void forget(const std::string& mountpoint);

 private:
  static std::string recordFile(const std::string& mountpoint);
};

}  // namespace nb::cli::mount
