// What a walk of a folder tree (local or remote) yields: its entries, folders
// before their contents, the entries it passed over with the reason, and the
// folders it could not list. A listing is a plain value; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nb/Status.h"

namespace nb::cli {

// One entry of a tree, its path relative to the walked folder.
struct TreeEntry {
  std::string relative;  // "a/b.txt"
  bool folder = false;
  std::uint64_t size = 0;
  long long modified = -1;  // seconds since the epoch; -1 when unknown
  std::string modifyTime;   // a remote entry's time as the service wrote it
  std::string rev = {};     // a remote file's revision, when the listing gives one
  // A local file's identity: device, inode, and times in nanoseconds.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  long long modifiedNs = -1;
  long long changedNs = -1;
};

// An entry left out, and why.
struct Skip {
  std::string path;
  std::string reason;
};

// A folder whose contents could not be listed: what is under it is unknown.
struct ListingError {
  std::string path;
  Status status;
};

struct TreeListing {
  std::vector<TreeEntry> entries;
  std::vector<Skip> skipped;
  std::vector<ListingError> errors;
  // Local walks: hidden partial files of downloads (relative paths), never
  // entries; a crashed run's ones are for the caller to clear.
  std::vector<std::string> partials;
};

// Whether the service can store `name` as one path segment: valid UTF-8 of at
// most 255 bytes, no control character (DEL included), slash or backslash,
// and not "." or "..".
bool storableName(std::string_view name);
// Whether an upload can carry `name`: a storable name without a double quote,
// which the upload's form cannot hold.
bool uploadableName(std::string_view name);
inline constexpr const char* kUnstorableName = "a name the service cannot store";

}  // namespace nb::cli
