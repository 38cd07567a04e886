// Rename tracking for a sync up: a local file or folder renamed or moved since
// the last run becomes one server-side move instead of an upload and a
// deletion. A file is matched by what the state remembers of the local copy
// of a path the source no longer has (device, inode, size and modification
// time, which a rename keeps); a folder all of whose files went, with the
// same names below it, to one new folder moves as a whole. Pure; any thread.
#pragma once

#include <string>
#include <vector>

#include "cli/SyncPlan.h"
#include "cli/TreeListing.h"
#include "cli/sync/SyncState.h"

namespace nb::cli {

// A server-side move of the target's `from` to `to` (relative paths).
struct Rename {
  std::string from;
  std::string to;
};

// Finds the renames among `plan`'s transfers of new files and the entries of
// `remote` that `local` no longer has, and takes the transfers, the folders
// to make and the deletions they replace out of the plan.
std::vector<Rename> findRenames(SyncPlan& plan, const SyncState& state,
                                const std::vector<TreeEntry>& local,
                                const std::vector<TreeEntry>& remote);

}  // namespace nb::cli
