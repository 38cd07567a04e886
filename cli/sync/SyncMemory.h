// SyncMemory ties one run of `nb sync` to the state of its pair: it tells the
// plan what the last run remembers of each file, collects what this run
// learns (files found alike, files transferred with their hashes, entries
// gone) and saves it in one transaction at the end. It holds the two sides'
// listings by reference: they must outlive it. Main thread only.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cli/SyncPlan.h"
#include "cli/TransferQueue.h"
#include "cli/TreeListing.h"
#include "cli/sync/SyncState.h"

namespace nb::cli {

class SyncMemory {
 public:
  SyncMemory(SyncState& state, bool upload, const TreeListing& local, const TreeListing& remote);

  // The plan's view of the file both sides have (see Remembered); a file
  // without a memory that size and time judge alike is remembered from now on.
  Memory recall(const TreeEntry& source, const TreeEntry& target);
  // Whether the file is known to hold the same bytes on both sides: both
  // copies as the last run left them, with a hash remembered.
  bool knownSame(const std::string& relative) const;
  // The file was found to hold the same bytes on both sides, of this hash.
  void foundSame(const std::string& relative, const std::string& sha256);

  // The file was sent: an upload as the service's reply describes it, a
  // download as it now stands at `localPath`.
  void sent(const std::string& relative, const TransferFacts& facts, const std::string& localPath);
  // The entry (and what was below it) is gone from the target.
  void gone(const std::string& relative);

  // Saves what this run learnt; files alike that were sent anyway (or failed)
  // are not remembered as alike.
  Status save(const std::vector<std::string>& transfers);

  const TreeEntry* local(std::string_view relative) const;
  const TreeEntry* remote(std::string_view relative) const;

 private:
  SyncState& state_;
  const bool upload_;
  std::unordered_map<std::string_view, const TreeEntry*> locals_, remotes_;
  std::map<std::string, std::string> alike_;  // relative path: hash ("" when not computed)
  std::vector<std::pair<std::string, FileState>> records_;
  std::vector<std::string> gone_;
};

}  // namespace nb::cli
