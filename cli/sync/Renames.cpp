#include "cli/sync/Renames.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace nb::cli {
namespace {

using Key = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, long long>;

Key keyOf(const LocalIdentity& identity) {
  return {identity.device, identity.inode, identity.size, identity.modifiedNs};
}

bool isBelow(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

void eraseAll(std::vector<std::string>& paths, const std::set<std::string>& gone) {
  paths.erase(std::remove_if(paths.begin(), paths.end(),
                             [&](const std::string& path) { return gone.count(path) > 0; }),
              paths.end());
}

}  // namespace

std::vector<Rename> findRenames(SyncPlan& plan, const SyncState& state,
                                const std::vector<TreeEntry>& local,
                                const std::vector<TreeEntry>& remote) {
  std::unordered_set<std::string_view> here, there;
  for (const TreeEntry& entry : local) here.insert(entry.relative);
  for (const TreeEntry& entry : remote) there.insert(entry.relative);
  // The new local files, by identity.
  std::map<Key, std::string> arrivals;
  std::unordered_map<std::string_view, const TreeEntry*> localBy;
  for (const TreeEntry& entry : local) localBy.emplace(entry.relative, &entry);
  for (const std::string& relative : plan.transfers) {
    const TreeEntry* entry = localBy.at(relative);
    if (!there.count(relative)) arrivals.emplace(keyOf(SyncState::identityOf(*entry)), relative);
  }
  // The target's entries the source no longer has, each top with its files.
  std::vector<std::pair<const TreeEntry*, std::vector<std::string>>> missing;
  for (const TreeEntry& entry : remote) {
    if (here.count(entry.relative)) continue;
    if (!missing.empty() && isBelow(entry.relative, missing.back().first->relative)) {
      if (!entry.folder) missing.back().second.push_back(entry.relative);
      continue;
    }
    missing.push_back({&entry, {}});
    if (!entry.folder) missing.back().second.push_back(entry.relative);
  }

  std::vector<Rename> renames;
  std::set<std::string> sent, made, deleted;
  for (const auto& [top, files] : missing) {
    // Where each remembered file went, if it went.
    std::vector<std::pair<std::string, std::string>> moves;
    for (const std::string& file : files) {
      const FileState* known = state.find(file);
      if (!known) continue;
      const auto found = arrivals.find(keyOf(known->local));
      if (found != arrivals.end() && !sent.count(found->second)) {
        moves.push_back({file, found->second});
      }
    }
    if (moves.empty()) continue;
    // A folder whose every file went under one new folder, names kept.
    if (top->folder && moves.size() == files.size()) {
      const std::string& from = top->relative;
      const std::string& first = moves.front().second;
      const std::string rest = moves.front().first.substr(from.size());
      if (first.size() > rest.size() &&
          first.compare(first.size() - rest.size(), rest.size(), rest) == 0) {
        const std::string to = first.substr(0, first.size() - rest.size());
        const bool whole = !to.empty() && !there.count(to) &&
                           std::all_of(moves.begin(), moves.end(), [&](const auto& move) {
                             return move.second == to + move.first.substr(from.size());
                           });
        if (whole) {
          renames.push_back({from, to});
          for (const auto& move : moves) sent.insert(move.second);
          // The moved folder brings its own folders; new ones in it are still made.
          for (const std::string& folder : plan.folders) {
            if ((folder == to || isBelow(folder, to)) &&
                there.count(from + folder.substr(to.size()))) {
              made.insert(folder);
            }
          }
          deleted.insert(from);
          continue;
        }
      }
    }
    for (const auto& [from, to] : moves) {
      renames.push_back({from, to});
      sent.insert(to);
    }
    if (!top->folder) deleted.insert(top->relative);
  }
  eraseAll(plan.transfers, sent);
  eraseAll(plan.folders, made);
  eraseAll(plan.deletions, deleted);
  return renames;
}

}  // namespace nb::cli
