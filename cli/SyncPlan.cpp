#include "cli/SyncPlan.h"

#include <unordered_map>
#include <unordered_set>

#include "cli/CommandContext.h"

namespace nb::cli {

Result<SyncDirection> syncDirection(std::string_view source, std::string_view target) {
  const bool sourceRemote = CommandContext::markedRemote(source);
  const bool targetRemote = CommandContext::markedRemote(target);
  if (sourceRemote != targetRemote) {
    return sourceRemote ? SyncDirection::kDownload : SyncDirection::kUpload;
  }
  if (sourceRemote) {
    return Status::invalidArgument(
        "sync: both sides are remote; one must be a local folder (sync ./local nb:/remote, or "
        "sync nb:/remote ./local)");
  }
  return Status::invalidArgument(
      "sync: give the remote side as nb:/path, e.g. sync ./photos nb:/photos (up) or "
      "sync nb:/photos ./photos (down); a local name that starts with nb: is written ./nb:...");
}

Result<SyncPlan> planSync(const std::vector<TreeEntry>& source,
                          const std::vector<TreeEntry>& target, bool deleteExtra,
                          const SameContent& sameContent, const Remembered& remembered) {
  std::unordered_map<std::string_view, const TreeEntry*> there, here;
  for (const TreeEntry& entry : target) there.emplace(entry.relative, &entry);
  for (const TreeEntry& entry : source) here.emplace(entry.relative, &entry);
  SyncPlan plan;
  std::unordered_set<std::string_view> replaced;
  for (const TreeEntry& entry : source) {
    const auto found = there.find(entry.relative);
    const TreeEntry* other = found == there.end() ? nullptr : found->second;
    // A file replaced by a folder is overwritten like any file; a folder
    // replaced by a file takes what it holds with it, so only with
    // `deleteExtra` (without, the file's transfer fails on the folder).
    if (other != nullptr && other->folder != entry.folder && (entry.folder || deleteExtra)) {
      plan.replaced.push_back(entry.relative);
      replaced.insert(entry.relative);
      other = nullptr;
    }
    if (entry.folder) {
      if (other == nullptr) plan.folders.push_back(entry.relative);
      continue;
    }
    bool send = other == nullptr;
    if (!send) {
      const Memory memory = remembered ? remembered(entry, *other) : Memory::kUnknown;
      send = memory == Memory::kChanged ||
             (memory == Memory::kUnknown &&
              (other->size != entry.size || entry.modified > other->modified));
    }
    if (!send && sameContent) {
      auto same = sameContent(entry.relative);
      if (!same.ok()) return same.status();
      send = !*same;
    }
    if (send) plan.transfers.push_back(entry.relative);
  }
  std::string gone;  // the last folder removed: what is under it goes with it
  for (const TreeEntry& entry : target) {
    const bool under = !gone.empty() && entry.relative.size() > gone.size() &&
                       entry.relative.compare(0, gone.size(), gone) == 0 &&
                       entry.relative[gone.size()] == '/';
    if (under) continue;
    if (replaced.count(entry.relative)) {
      if (entry.folder) gone = entry.relative;
      continue;
    }
    if (!deleteExtra || here.count(entry.relative)) continue;
    plan.deletions.push_back(entry.relative);
    if (entry.folder) gone = entry.relative;
  }
  return plan;
}

}  // namespace nb::cli
