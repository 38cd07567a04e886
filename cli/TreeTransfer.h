// Whole folders and many files at once for nb: `put -r`, several sources into
// one folder, `get -r`, `mkdir -p` and the remote tree walk they share. The
// files go through TransferQueue (parallel, retried); folders are made first.
// Links, special files and names that cannot be stored are reported and
// skipped. Main thread only.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "cli/CommandContext.h"
#include "nb/Status.h"

namespace nb::cli {

struct TreeOptions {
  std::vector<std::string> sources;
  std::string target;
  bool recursive = false;
  int transfers = 8;
  int retries = 3;
  bool overwrite = false;    // put: replace remote files
  bool force = false;        // get: replace read-only local files
  bool checksum = false;     // sync: compare contents of files of equal size
  bool deleteExtra = false;  // sync: remove what the source no longer has
  bool dryRun = false;       // sync: print the plan only
};

// One entry of a remote tree, its path relative to the walked folder.
struct RemoteEntry {
  std::string relative;  // "a/b.txt"
  bool folder = false;
  std::uint64_t size = 0;
  std::string modifyTime;
};

class TreeTransfer {
 public:
  // Uploads the sources (files, or folders with `recursive`) into the folder `target`.
  static Status put(CommandContext& context, const TreeOptions& options);
  // Downloads the remote folder `sources[0]` into the local folder `target`.
  static Status get(CommandContext& context, const TreeOptions& options);
  // Brings the folder `target` in step with `sources[0]`, one direction: a
  // source that is a local folder goes up, else the source is remote and comes
  // down. New files and files whose size differs or whose source is newer are
  // transferred (with `checksum`, equal-sized files are compared by content).
  static Status sync(CommandContext& context, const TreeOptions& options);
  // Creates `path` and every missing folder above it; existing ones are fine.
  // `made`, when given, holds folders known to exist: they are not asked for
  // again, and the ones made here join it (a tree's folders then cost one
  // request each instead of one per level).
  static Status makeFolders(CommandContext& context, const std::string& path,
                            std::set<std::string>* made = nullptr);
  // Every entry under the remote folder `path`, folders before their contents.
  static Result<std::vector<RemoteEntry>> listTree(CommandContext& context,
                                                   const std::string& path);
};

}  // namespace nb::cli
