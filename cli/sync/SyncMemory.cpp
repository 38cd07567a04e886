#include "cli/sync/SyncMemory.h"

#include <sys/stat.h>

#include <set>

#include "cli/LocalTree.h"

namespace nb::cli {

SyncMemory::SyncMemory(SyncState& state, bool upload, const TreeListing& local,
                       const TreeListing& remote)
    : state_(state), upload_(upload) {
  for (const TreeEntry& entry : local.entries) locals_.emplace(entry.relative, &entry);
  for (const TreeEntry& entry : remote.entries) remotes_.emplace(entry.relative, &entry);
}

const TreeEntry* SyncMemory::local(std::string_view relative) const {
  const auto found = locals_.find(relative);
  return found == locals_.end() ? nullptr : found->second;
}

const TreeEntry* SyncMemory::remote(std::string_view relative) const {
  const auto found = remotes_.find(relative);
  return found == remotes_.end() ? nullptr : found->second;
}

Memory SyncMemory::recall(const TreeEntry& source, const TreeEntry& target) {
  const TreeEntry& here = upload_ ? source : target;
  const TreeEntry& there = upload_ ? target : source;
  const Memory memory = state_.compare(here.relative, here, there);
  // Judged alike by size and time this once: remembered from now on.
  if (memory == Memory::kUnknown && source.size == target.size &&
      source.modified <= target.modified) {
    alike_.emplace(here.relative, "");
  }
  return memory;
}

bool SyncMemory::knownSame(const std::string& relative) const {
  const FileState* known = state_.find(relative);
  const TreeEntry* here = local(relative);
  const TreeEntry* there = remote(relative);
  return known && !known->sha256.empty() && here && there &&
         state_.compare(relative, *here, *there) == Memory::kInStep;
}

void SyncMemory::foundSame(const std::string& relative, const std::string& sha256) {
  alike_[relative] = sha256;
}

void SyncMemory::sent(const std::string& relative, const TransferFacts& facts,
                      const std::string& localPath) {
  if (upload_) {
    const TreeEntry* here = local(relative);
    if (!here || !facts.remoteKnown) return gone(relative);  // compared afresh next time
    records_.push_back({relative,
                        {{facts.remoteSize, facts.remoteTime, facts.remoteRev},
                         SyncState::identityOf(*here),
                         facts.sha256}});
    return;
  }
  const TreeEntry* there = remote(relative);
  struct stat info {};
  if (!there || ::lstat(localPath.c_str(), &info) != 0) return gone(relative);
  records_.push_back({relative,
                      {SyncState::stampOf(*there),
                       SyncState::identityOf(LocalTree::fileEntry(relative, info)), facts.sha256}});
}

void SyncMemory::gone(const std::string& relative) { gone_.push_back(relative); }

Status SyncMemory::save(const std::vector<std::string>& transfers) {
  const std::set<std::string> sent(transfers.begin(), transfers.end());
  std::vector<std::pair<std::string, FileState>> records;
  for (const auto& [relative, sha256] : alike_) {
    if (sent.count(relative)) continue;
    records.push_back(
        {relative,
         {SyncState::stampOf(*remote(relative)), SyncState::identityOf(*local(relative)), sha256}});
  }
  records.insert(records.end(), records_.begin(), records_.end());
  return state_.save(records, gone_);
}

}  // namespace nb::cli
