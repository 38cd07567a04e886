// LocalTree walks a local folder for `put -r` and `sync`: every entry beneath
// it, folders before their contents, names in byte order. It never follows a
// symbolic link below the walked folder, never enters a pseudo file system
// (/proc, /sys, /dev and their kind) and, asked to, stays on the file system
// of the walked folder. Links, special files and unstorable names are skipped
// with the reason; a folder that cannot be read is a listing error. Hidden
// partial files of downloads are listed apart, never as entries. Any thread.
#pragma once

#include <sys/stat.h>

#include <string>

#include "cli/TreeListing.h"

namespace nb::cli {

class LocalTree {
 public:
  struct Options {
    bool oneFileSystem = false;  // -x: skip folders on another device than `root`
  };
  // The walk of `root` (a folder, or a link to one). Skips and errors name
  // local paths as `root` joined with the entry's relative path.
  static TreeListing walk(const std::string& root, Options options);

  // The entry of the file `relative` whose lstat is `info`, with its identity.
  static TreeEntry fileEntry(const std::string& relative, const struct stat& info);

  // The type of the pseudo file system (proc, sysfs, devtmpfs, ...) that the
  // open folder `fd` lies on; empty for one that holds ordinary files.
  static std::string pseudoFileSystem(int fd);
};

}  // namespace nb::cli
