// RemoteTree lists a remote folder and everything under it, for `ls -R`,
// `get -r` and `sync`: folders before their contents, up to `parallel`
// folders asked at once. The walk is bounded, so that a server that loops or
// never ends a folder makes it stop with a clear error in bounded memory:
// each folder holds at most the entries asked for (file_limit), a page at
// most the page size, the tree at most kDepthLimit levels and kEntryLimit
// entries, and a folder listed under the id of another folder of the walk is
// a loop. Runs on the main thread, through the command's context.
#pragma once

#include <cstddef>
#include <string>

#include "cli/CommandContext.h"
#include "cli/TreeListing.h"

namespace nb::cli {

class RemoteTree {
 public:
  static constexpr int kPageSize = 1000;                  // the service's largest page
  static constexpr int kFolderLimit = 100'000;            // entries asked for per folder
  static constexpr int kDepthLimit = 256;                 // levels below the walked folder
  static constexpr std::size_t kEntryLimit = 10'000'000;  // entries of one walk

  struct Options {
    int parallel = 8;
    int folderLimit = kFolderLimit;
    bool missingIsEmpty = false;  // a walked folder that does not exist lists as empty
  };

  // The walk of the remote folder `path` (as the service stores it). Failing
  // to list `path` itself, or a listing past the bounds, is the Status; a
  // folder below it that cannot be listed is one of the listing's errors.
  static Result<TreeListing> walk(CommandContext& context, const std::string& path,
                                  const Options& options);

  // Seconds since the epoch of the service's "Thu, 10 Dec 2026 15:33:59 +0000";
  // -1 when the text has another form.
  static long long seconds(const std::string& serviceTime);
};

}  // namespace nb::cli
