// RemoteFolder is the mount's view of the service: the calls a file system
// needs (list a folder, fetch or store a whole file, make, delete and move
// entries, the quota), on paths inside the mounted remote folder, each as a
// blocking call with the command's time-out. Failures come back as an errno
// the kernel understands (errnoFor). Shares the command's context; usable
// from many threads at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include "cli/CommandContext.h"
#include "nb/Status.h"

namespace nb::cli::mount {

// One entry of a remote folder as the mount shows it.
struct RemoteEntry {
  bool folder = false;
  std::uint64_t size = 0;
  time_t modified = 0;
  std::string version;  // the service's revision; a changed one means changed bytes
};

using RemoteListing = std::map<std::string, RemoteEntry>;  // by name

struct Quota {
  std::uint64_t total = 0;
  std::uint64_t used = 0;
  std::uint64_t largestFile = 0;  // 0: no limit given
};

class RemoteFolder {
 public:
  // `base` is the mounted folder as the service stores it ("/" or "/docs").
  RemoteFolder(CommandContext& context, std::string base);

  // The service path of `path` ("/" or "/a/b", relative to the mount).
  std::string servicePath(const std::string& path) const;

  // Every entry of the folder `path`, all pages.
  Result<RemoteListing> list(const std::string& path) const;
  // The entry `path` itself (a folder or a file).
  Result<RemoteEntry> stat(const std::string& path) const;
  // Downloads `path` whole to `target`, written beside it and renamed onto it.
  Status download(const std::string& path, const std::string& target) const;
  // Stores the local file `source` at `path`, replacing what is there; the
  // stored revision ("" when the reply names none).
  Result<std::string> upload(const std::string& path, const std::string& source) const;
  Status makeFolder(const std::string& path) const;
  Status remove(const std::string& path) const;
  Status move(const std::string& from, const std::string& to) const;
  Result<Quota> quota() const;

  // The errno for a failed call: ENOENT, EEXIST, EDQUOT, EINVAL, EACCES, EIO.
  static int errnoFor(const Status& status);

 private:
  template <class Item>
  std::shared_ptr<Item> item(const std::string& path) const;

  CommandContext& context_;
  std::string base_;
};

}  // namespace nb::cli::mount
