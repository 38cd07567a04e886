// Whole folders and many files at once for nb: `put -r`, several sources into
// one folder, `get -r`, `sync` and `mkdir -p`. The trees are walked by
// LocalTree and RemoteTree; the files go through TransferQueue (parallel,
// retried); folders are made first. Links, special files and names that
// cannot be stored are reported and skipped; a folder that cannot be listed
// makes the job fail and cancels a sync's deletions. Main thread only.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "cli/CommandContext.h"
#include "cli/sync/Filter.h"
#include "nb/Status.h"

namespace nb::cli {

struct TreeOptions {
  std::vector<std::string> sources;
  std::string target;
  bool recursive = false;
  int transfers = 8;
  int retries = 3;
  bool overwrite = false;      // put: replace remote files
  bool force = false;          // get: replace read-only local files
  bool checksum = false;       // sync: compare contents of files of equal size
  bool deleteExtra = false;    // sync: remove what the source no longer has
  bool dryRun = false;         // sync: print the plan only
  bool oneFileSystem = false;  // put -r, sync: stay on the local source's file system
  std::string maxDelete;       // sync --delete: "N" or "P%" of the target's files; empty: 50%
  std::string backupDir;       // sync up: a remote folder for what is deleted or overwritten
  bool trackRenames = false;   // sync up: a renamed file or folder is moved on the service
  FilterFlags filter;          // put -r, get -r, sync: what takes part (see Filter)
};

class TreeTransfer {
 public:
  // Uploads the sources (files, or folders with `recursive`) into the folder `target`.
  static Status put(CommandContext& context, const TreeOptions& options);
  // Downloads the remote folder `sources[0]` into the local folder `target`.
  static Status get(CommandContext& context, const TreeOptions& options);
  // Brings the folder `target` in step with `sources[0]`, one direction: the
  // side marked nb: is the remote one (see syncDirection). The plan is
  // planSync's; it is printed (dryRun) or carried out.
  static Status sync(CommandContext& context, const TreeOptions& options);
  // Creates `path` and every missing folder above it; existing ones are fine.
  // `made`, when given, holds folders known to exist: they are not asked for
  // again, and the ones made here join it (a tree's folders then cost one
  // request each instead of one per level).
  static Status makeFolders(CommandContext& context, const std::string& path,
                            std::set<std::string>* made = nullptr);
};

}  // namespace nb::cli
