#include "cli/TreeTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "cli/DownloadStream.h"
#include "cli/FailureText.h"
#include "cli/LocalFiles.h"
#include "cli/LocalTree.h"
#include "cli/RemoteTree.h"
#include "cli/SyncPlan.h"
#include "cli/TransferQueue.h"
#include "cli/sync/ContentHash.h"
#include "cli/sync/DeleteLimit.h"
#include "cli/sync/Renames.h"
#include "cli/sync/SyncMemory.h"
#include "cli/sync/SyncState.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"
#include "nb/operations/NBMoveOperation.h"

namespace nb::cli {
namespace fs = std::filesystem;
namespace {

std::string joinRemote(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder == "/") return "/" + name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string trimSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The failure of a job some of whose sources or folders could not be read; ok
// when all were.
Status listingFailure(const std::vector<ListingError>& errors) {
  if (errors.empty()) return Status::OK();
  return Status(errors.front().status.code(),
                std::to_string(errors.size()) +
                    " source(s) or folder(s) could not be read; first: " + errors.front().path +
                    ": " + errors.front().status.message());
}

// The skipped entries as JSON; each also appends a line "PREFIX path: reason" to `lines`.
JsonValue skipList(const std::vector<Skip>& skipped, const char* prefix, std::string& lines) {
  JsonValue list = JsonValue::array();
  for (const Skip& skip : skipped) {
    JsonValue entry = JsonValue::object();
    entry.set("path", JsonValue(skip.path));
    entry.set("reason", JsonValue(skip.reason));
    list.push(std::move(entry));
    lines += prefix + Printer::visible(skip.path) + ": " + skip.reason + "\n";
  }
  return list;
}

// Prints the job's summary and returns its Status: ok only when every file
// went and every folder could be listed. Each file's entry is made only for a
// JSON summary, the one that lists them.
Status summarize(CommandContext& context, const char* verb, const std::vector<TransferItem>& items,
                 const std::vector<Status>& outcomes, const std::vector<Skip>& skipped,
                 const std::vector<ListingError>& errors, bool upload,
                 const std::vector<std::string>& deleted = {}) {
  const bool json = context.printer().json();
  JsonValue files = JsonValue::array();
  JsonValue failed = JsonValue::array();
  std::string failures;
  std::uint64_t bytes = 0;
  int done = 0;
  Status first;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Status& status = outcomes[i];
    if (status.ok()) {
      ++done;
      bytes += items[i].size;
    } else {
      const std::string explanation = FailureText::explanation(status);
      failures += "  failed  " + (upload ? items[i].local : items[i].remote) + ": " +
                  status.message() + (explanation.empty() ? "" : " (" + explanation + ")") + "\n";
      if (first.ok()) first = status;
    }
    if (!json) continue;
    JsonValue entry = JsonValue::object();
    entry.set("local", JsonValue(items[i].local));
    entry.set("remote", JsonValue(items[i].remote));
    entry.set("size", JsonValue(static_cast<std::int64_t>(items[i].size)));
    entry.set("ok", JsonValue(status.ok()));
    if (!status.ok()) {
      entry.set("error", JsonValue(status.message()));
      entry.set("code", JsonValue(FailureText::machineCode(status)));
      failed.push(entry);
    }
    files.push(std::move(entry));
  }
  const int failedCount = static_cast<int>(items.size()) - done;
  std::string skipLines;
  JsonValue skips = skipList(skipped, "  skipped ", skipLines);
  JsonValue unlisted = JsonValue::array();
  for (const ListingError& error : errors) {
    JsonValue entry = JsonValue::object();
    entry.set("path", JsonValue(error.path));
    entry.set("error", JsonValue(error.status.message()));
    entry.set("code", JsonValue(FailureText::machineCode(error.status)));
    unlisted.push(std::move(entry));
    failures += "  failed  " + Printer::visible(error.path) + ": " + error.status.message() + "\n";
  }
  JsonValue value = JsonValue::object();
  value.set("ok", JsonValue(failedCount == 0 && errors.empty()));
  value.set("transferred", JsonValue(static_cast<std::int64_t>(done)));
  value.set("bytes", JsonValue(static_cast<std::int64_t>(bytes)));
  value.set("skipped", std::move(skips));
  value.set("failed", std::move(failed));
  value.set("unlisted", std::move(unlisted));
  value.set("files", std::move(files));
  JsonValue removed = JsonValue::array();
  std::string deletedLines;
  for (const std::string& path : deleted) {
    removed.push(JsonValue(path));
    deletedLines += "  deleted " + Printer::visible(path) + "\n";
  }
  value.set("deleted", std::move(removed));
  const std::string plain =
      std::string(verb) + " " + std::to_string(done) + " of " + std::to_string(items.size()) +
      " files (" + ProgressBar::formatBytes(static_cast<double>(bytes)) + "), skipped " +
      std::to_string(skipped.size()) + ", failed " + std::to_string(failedCount) +
      (errors.empty() ? "" : ", not read " + std::to_string(errors.size())) +
      (deleted.empty() ? "" : ", deleted " + std::to_string(deleted.size())) + "\n" + deletedLines +
      skipLines + failures;
  context.printer().result(value, plain);
  if (failedCount > 0) {
    return Status(first.code(), std::to_string(failedCount) + " of " +
                                    std::to_string(items.size()) +
                                    " files failed; first: " + first.message());
  }
  return listingFailure(errors);
}

TransferSettings settingsFrom(const CommandContext& context, const TreeOptions& o) {
  TransferSettings settings;
  settings.root = context.options().root;
  settings.transfers = o.transfers;
  settings.retries = o.retries;
  settings.overwrite = o.overwrite;
  settings.force = o.force;
  settings.idleLimit = std::chrono::seconds(context.options().timeoutSeconds);
  return settings;
}

// The SHA-256 of the local file when it holds the same bytes as the remote
// one (fetched to a private temporary file to compare); empty when they differ.
Result<std::string> sameContent(CommandContext& context, const std::string& local,
                                const std::string& remote) {
  auto copy = PartialFile::temporary();
  if (!copy.ok()) return copy.status();
  const Status status = DownloadStream::run(
      context.options().root, remote, (*copy)->fd(), "cannot write " + (*copy)->path(), nullptr,
      std::chrono::seconds(context.options().timeoutSeconds), nullptr);
  if (!status.ok()) return status;
  std::ifstream a(local, std::ios::binary), b((*copy)->path(), std::ios::binary);
  if (!a) return Status::ioError("cannot read " + local);
  ContentHash hash;
  std::string here(1 << 16, '\0'), there(1 << 16, '\0');
  while (true) {
    a.read(here.data(), static_cast<std::streamsize>(here.size()));
    b.read(there.data(), static_cast<std::streamsize>(there.size()));
    const auto got = static_cast<std::size_t>(a.gcount());
    if (got != static_cast<std::size_t>(b.gcount()) ||
        std::string_view(here.data(), got) != std::string_view(there.data(), got)) {
      return std::string();
    }
    if (got == 0) return hash.hex();
    hash.add(std::string_view(here.data(), got));
  }
}

// Removes the partial files a crashed download left below `root` (each only
// when no living writer holds it).
void clearPartialFiles(const std::string& root, const std::vector<std::string>& partials) {
  if (partials.empty()) return;
  auto top = FolderHandle::open(root, false);
  if (!top.ok()) return;
  for (const std::string& relative : partials) {
    const fs::path path(relative);
    auto folder = (*top)->below(path.parent_path().string());
    if (folder.ok()) PartialFile::removeIfStale(**folder, path.filename().string());
  }
}

// The files among `entries` at or below the paths `tops` (both in walk order).
std::size_t filesBelow(const std::vector<TreeEntry>& entries,
                       const std::vector<std::string>& tops) {
  const std::set<std::string> chosen(tops.begin(), tops.end());
  std::size_t files = 0;
  std::string under;  // the chosen path whose entries are being passed
  for (const TreeEntry& entry : entries) {
    const bool below = !under.empty() && entry.relative.size() > under.size() &&
                       entry.relative.compare(0, under.size(), under) == 0 &&
                       entry.relative[under.size()] == '/';
    if (!below) under = chosen.count(entry.relative) ? entry.relative : "";
    if (!entry.folder && !under.empty()) ++files;
  }
  return files;
}

// Whether the local file at `path` is a copy of the remote `entry` made by a
// download (which takes the remote time): a regular file of the same size and
// modification second.
bool upToDate(const fs::path& path, const TreeEntry& entry) {
  struct stat info {};
  return entry.modified >= 0 && ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         static_cast<std::uint64_t>(info.st_size) == entry.size &&
         static_cast<long long>(info.st_mtime) == entry.modified;
}

// The filter of the command's options, ages counted from now.
Result<Filter> filterFor(const TreeOptions& o) {
  return o.filter.make(static_cast<long long>(std::time(nullptr)));
}

Status deleteRemote(CommandContext& context, const std::string& path) {
  auto item = std::make_shared<NBFolderOperationItem>();
  item->root = context.options().root;
  item->path = path;
  return context.perform<NBDeleteOperation>(item).status();
}

Status moveRemote(CommandContext& context, const std::string& from, const std::string& to) {
  auto item = std::make_shared<NBMoveOperationItem>();
  item->root = context.options().root;
  item->fromPath = from;
  item->toPath = to;
  return context.perform<NBMoveOperation>(item).status();
}

// --backup-dir: what a sync up would delete or overwrite is moved on the
// service, not copied, into one folder per run named by its UTC start time.
class Backup {
 public:
  Backup(CommandContext& context, const std::string& folder) : context_(context) {
    if (folder.empty()) return;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &utc);
    folder_ = joinRemote(trimSlash(CommandContext::remotePath(folder)), stamp);
  }
  bool active() const { return !folder_.empty(); }

  // Moves the remote `path` (the entry `relative` of the sync) into the backup.
  Status keep(const std::string& relative, const std::string& path) {
    const std::string to = joinRemote(folder_, relative);
    const std::string parent = to.substr(0, to.find_last_of('/'));
    if (Status status = TreeTransfer::makeFolders(context_, parent, &made_); !status.ok()) {
      return status;
    }
    Status status = moveRemote(context_, path, to);
    if (status.ok()) ++kept_;
    return status;
  }
  // Says where the run's replaced and deleted files went, when any did.
  void report(Printer& printer) const {
    if (kept_ > 0)
      printer.note("Kept " + std::to_string(kept_) + " replaced or deleted entries in " + folder_);
  }

 private:
  CommandContext& context_;
  std::string folder_;
  std::set<std::string> made_;
  int kept_ = 0;
};

}  // namespace

Status TreeTransfer::makeFolders(CommandContext& context, const std::string& path,
                                 std::set<std::string>* made) {
  const std::string full = trimSlash(CommandContext::remotePath(path));
  if (full == "/") return Status::OK();
  std::string prefix;
  std::size_t start = 1;
  while (start <= full.size()) {
    std::size_t end = full.find('/', start);
    if (end == std::string::npos) end = full.size();
    prefix = full.substr(0, end);
    start = end + 1;
    if (made && made->count(prefix)) continue;
    auto item = std::make_shared<NBFolderOperationItem>();
    item->root = context.options().root;
    item->path = prefix;
    const auto outcome = context.perform<NBCreateFolderOperation>(item);
    if (!outcome.ok() && outcome.status().code() != StatusCode::kAlreadyExists) {
      return outcome.status();
    }
    if (made) made->insert(prefix);
  }
  return Status::OK();
}

Status TreeTransfer::put(CommandContext& context, const TreeOptions& o) {
  const auto filter = filterFor(o);
  if (!filter.ok()) return filter.status();
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const std::string base = trimSlash(CommandContext::remotePath(o.target));
  std::vector<std::string> folders = {base};
  std::vector<TransferItem> items;
  std::vector<Skip> skipped;
  std::vector<ListingError> errors;
  // One folder given with -r: its contents go into the target, as `cp -r a b`
  // into a new b; with several sources each keeps its own name in the target.
  const bool contentsOnly = o.sources.size() == 1;
  for (const std::string& source : o.sources) {
    if (source == "-") return Status::invalidArgument("put: - (stdin) takes one remote file");
    std::error_code error;
    const auto status = fs::symlink_status(source, error);
    const std::string name = fs::path(trimSlash(source)).filename().string();
    if (error) {
      // A source the user named that is not there is a failure, as with cp.
      errors.push_back({source, Status::ioError("cannot read " + source + ": " + error.message())});
    } else if (fs::is_directory(status) || (fs::is_symlink(status) && fs::is_directory(source))) {
      if (!o.recursive) {
        skipped.push_back({source, "a folder: give -r to put it with its contents"});
        continue;
      }
      const std::string remote = contentsOnly ? base : joinRemote(base, name);
      if (remote != base) folders.push_back(remote);
      TreeListing tree = LocalTree::walk(source, {o.oneFileSystem});
      Filter withIgnoreFiles = *filter;
      withIgnoreFiles.readIgnoreFiles(source, tree);
      withIgnoreFiles.apply(tree, nullptr);
      for (const TreeEntry& entry : tree.entries) {
        const std::string target = joinRemote(remote, entry.relative);
        if (entry.folder) {
          folders.push_back(target);
        } else {
          items.push_back({(fs::path(source) / entry.relative).string(), target, entry.size});
        }
      }
      skipped.insert(skipped.end(), tree.skipped.begin(), tree.skipped.end());
      errors.insert(errors.end(), tree.errors.begin(), tree.errors.end());
    } else if (!uploadableName(name)) {
      skipped.push_back({source, kUnstorableName});
    } else if (fs::is_regular_file(fs::status(source, error))) {
      items.push_back({source, joinRemote(base, name), fs::file_size(source, error)});
    } else {
      skipped.push_back({source, "a special file (device, pipe or socket)"});
    }
  }
  if (items.empty() && folders.size() == 1 && !skipped.empty() && !o.recursive) {
    return Status::invalidArgument(skipped.front().path + " is " + skipped.front().reason);
  }
  std::set<std::string> made;
  if (Status status = makeFolders(context, base, &made); !status.ok()) return status;
  for (std::size_t i = 1; i < folders.size(); ++i) {
    if (Status status = makeFolders(context, folders[i], &made); !status.ok()) {
      skipped.push_back({folders[i], "cannot create the folder: " + status.message()});
    }
  }
  ProgressBar bar = context.progressBar();
  TransferQueue queue(TransferQueue::Direction::kUpload, settingsFrom(context, o));
  const auto outcomes = queue.run(items, &bar);
  return summarize(context, "Uploaded", items, outcomes, skipped, errors, true);
}

Status TreeTransfer::get(CommandContext& context, const TreeOptions& o) {
  const auto filter = filterFor(o);
  if (!filter.ok()) return filter.status();
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const std::string remote = trimSlash(CommandContext::remotePath(o.sources.front()));
  auto tree = RemoteTree::walk(context, remote, {o.transfers});
  if (!tree.ok()) return tree.status();
  filter->apply(*tree, nullptr);
  const fs::path local = o.target;
  // Everything below the target is made and written strictly beneath it.
  auto folder = FolderHandle::open(o.target, true);
  if (!folder.ok()) return folder.status();
  std::vector<TransferItem> items;
  std::size_t current = 0;  // files already here as listed
  std::vector<Skip> skipped = tree->skipped;
  for (const TreeEntry& entry : tree->entries) {
    const fs::path path = local / entry.relative;
    if (entry.folder) {
      if (auto made = (*folder)->below(entry.relative, true); !made.ok()) {
        skipped.push_back({path.string(), made.status().message()});
      }
    } else if (upToDate(path, entry)) {
      ++current;
    } else {
      items.push_back({path.string(), joinRemote(remote, entry.relative), entry.size,
                       entry.relative, entry.modified});
    }
  }
  if (current > 0) {
    context.printer().note(std::to_string(current) +
                           " file(s) already here with the same size and time: not fetched again");
  }
  ProgressBar bar = context.progressBar();
  TransferSettings settings = settingsFrom(context, o);
  settings.localFolder = std::move(*folder);
  TransferQueue queue(TransferQueue::Direction::kDownload, settings);
  const auto outcomes = queue.run(items, &bar);
  return summarize(context, "Downloaded", items, outcomes, skipped, tree->errors, false);
}

Status TreeTransfer::sync(CommandContext& context, const TreeOptions& o) {
  const auto direction = syncDirection(o.sources.front(), o.target);
  if (!direction.ok()) return direction.status();
  const bool upload = *direction == SyncDirection::kUpload;
  const std::string localDir = upload ? o.sources.front() : o.target;
  const std::string remoteDir =
      trimSlash(CommandContext::remotePath(upload ? o.target : o.sources.front()));
  if (o.trackRenames && !upload) {
    return Status::invalidArgument("sync: --track-renames goes with a sync up to nb:");
  }
  if (!o.backupDir.empty()) {
    const std::string backup = trimSlash(CommandContext::remotePath(o.backupDir));
    if (!upload) {
      return Status::invalidArgument(
          "sync: --backup-dir keeps remote files; it goes with a sync up to nb:");
    }
    if (backup == remoteDir || remoteDir == "/" ||
        backup.compare(0, remoteDir.size() + 1, remoteDir + "/") == 0) {
      return Status::invalidArgument("sync: --backup-dir " + backup + " lies inside " + remoteDir +
                                     ", which the sync would change");
    }
  }
  std::error_code error;
  const bool localExists = fs::exists(localDir, error);
  if (upload ? !fs::is_directory(localDir, error) : localExists && !fs::is_directory(localDir)) {
    return Status::invalidArgument("sync: " + localDir + " is not a local folder");
  }
  auto filter = filterFor(o);
  if (!filter.ok()) return filter.status();
  if (Status status = context.requireSignedIn(); !status.ok()) return status;

  TreeListing local;
  if (localExists) local = LocalTree::walk(localDir, {o.oneFileSystem});
  auto remote =
      RemoteTree::walk(context, remoteDir, {o.transfers, RemoteTree::kFolderLimit, upload});
  if (!remote.ok()) return remote.status();
  auto state = SyncState::open(localDir, context.options().root + ":" + remoteDir);
  if (!state.ok()) return state.status();
  if (!o.dryRun && localExists) clearPartialFiles(localDir, local.partials);
  // Both sides alike: what is left out is neither sent nor deleted.
  filter->readIgnoreFiles(localDir, local);
  std::vector<Skip> filtered;
  filter->apply(local, &filtered);
  filter->apply(*remote, &filtered);
  std::vector<Skip> skipped = local.skipped;
  skipped.insert(skipped.end(), remote->skipped.begin(), remote->skipped.end());
  std::vector<ListingError> errors = local.errors;
  errors.insert(errors.end(), remote->errors.begin(), remote->errors.end());

  const auto localPath = [&](const std::string& relative) {
    return (fs::path(localDir) / relative).string();
  };
  const auto remotePath = [&](const std::string& relative) {
    return joinRemote(remoteDir, relative);
  };
  SyncMemory memory(**state, upload, local, *remote);
  const Remembered remembered = [&](const TreeEntry& source, const TreeEntry& target) {
    return memory.recall(source, target);
  };
  SameContent compare;
  std::vector<std::string> mustFetch;  // --checksum --dry-run: what a real run downloads
  if (o.checksum) {
    compare = [&](const std::string& relative) -> Result<bool> {
      if (memory.knownSame(relative)) return true;
      if (o.dryRun) {
        mustFetch.push_back(relative);
        return true;
      }
      auto hash = sameContent(context, localPath(relative), remotePath(relative));
      if (!hash.ok()) return hash.status();
      if (hash->empty()) return false;
      memory.foundSame(relative, *hash);
      return true;
    };
  }
  // A side that could not be listed in full may hold what looks missing:
  // nothing is deleted then.
  const bool deleting = o.deleteExtra && errors.empty();
  auto plan = upload ? planSync(local.entries, remote->entries, deleting, compare, remembered)
                     : planSync(remote->entries, local.entries, deleting, compare, remembered);
  if (!plan.ok()) return plan.status();
  const std::vector<Rename> renames =
      o.trackRenames ? findRenames(*plan, **state, local.entries, remote->entries)
                     : std::vector<Rename>();
  const std::vector<TreeEntry>& targetEntries = upload ? remote->entries : local.entries;
  const auto targetFiles = static_cast<std::size_t>(std::count_if(
      targetEntries.begin(), targetEntries.end(), [](const TreeEntry& e) { return !e.folder; }));
  // Deleted: what --delete removes and the folders files replace.
  std::vector<std::string> removed = plan->deletions;
  for (const auto& relative : plan->replaced) {
    if ((upload ? memory.remote(relative) : memory.local(relative))->folder) {
      removed.push_back(relative);
    }
  }
  if (Status status =
          checkDeleteLimit(o.maxDelete, targetFiles, filesBelow(targetEntries, removed));
      !status.ok()) {
    return status;
  }
  const auto targetPath = [&](const std::string& relative) {
    return upload ? remotePath(relative) : localPath(relative);
  };
  if (o.deleteExtra && !errors.empty()) {
    context.printer().note("Deleting nothing: " + std::to_string(errors.size()) +
                           " folder(s) could not be listed, so what is missing is not known");
  }
  std::vector<TransferItem> items;
  for (const std::string& relative : plan->transfers) {
    // Sizes and times from the source's listing; a download takes the
    // remote time, so that the next sync sees the copy as up to date.
    const TreeEntry& entry = upload ? *memory.local(relative) : *memory.remote(relative);
    items.push_back({localPath(relative), remotePath(relative), entry.size});
    if (!upload) {
      items.back().relative = relative;
      items.back().modifyTime = entry.modified;
    }
  }

  if (o.dryRun) {
    JsonValue value = JsonValue::object();
    JsonValue send = JsonValue::array(), make = JsonValue::array(), remove = JsonValue::array(),
              fetch = JsonValue::array();
    std::string plain;
    for (const auto& path : plan->replaced) {
      remove.push(JsonValue(targetPath(path)));
      plain += "replace " + targetPath(path) + "\n";
    }
    for (const auto& folder : plan->folders) {
      make.push(JsonValue(targetPath(folder)));
      plain += "mkdir   " + targetPath(folder) + "\n";
    }
    JsonValue moves = JsonValue::array();
    for (const Rename& rename : renames) {
      JsonValue entry = JsonValue::object();
      entry.set("from", JsonValue(remotePath(rename.from)));
      entry.set("to", JsonValue(remotePath(rename.to)));
      moves.push(std::move(entry));
      plain += "move    " + remotePath(rename.from) + " -> " + remotePath(rename.to) + "\n";
    }
    value.set("move", std::move(moves));
    for (const auto& item : items) {
      send.push(JsonValue(upload ? item.remote : item.local));
      plain += std::string(upload ? "put     " : "get     ") + (upload ? item.local : item.remote) +
               " -> " + (upload ? item.remote : item.local) + "\n";
    }
    for (const auto& path : plan->deletions) {
      remove.push(JsonValue(targetPath(path)));
      plain += "delete  " + targetPath(path) + "\n";
    }
    for (const auto& path : mustFetch) {
      fetch.push(JsonValue(remotePath(path)));
      plain += "fetch   " + remotePath(path) + " (to compare; no hash remembered)\n";
    }
    std::set<std::string> shown;  // an entry left out on both sides is told once
    JsonValue left = JsonValue::array();
    for (const Skip& skip : filtered) {
      if (!shown.insert(skip.path).second) continue;
      JsonValue entry = JsonValue::object();
      entry.set("path", JsonValue(skip.path));
      entry.set("reason", JsonValue(skip.reason));
      left.push(std::move(entry));
      plain += "filter  " + Printer::visible(skip.path) + ": " + skip.reason + "\n";
    }
    value.set("filtered", std::move(left));
    JsonValue skips = skipList(skipped, "skip    ", plain);
    for (const ListingError& error : errors) {
      plain += "failed  " + error.path + ": " + error.status.message() + "\n";
    }
    value.set("folders", std::move(make));
    value.set("transfer", std::move(send));
    value.set("delete", std::move(remove));
    value.set("fetch", std::move(fetch));
    value.set("skipped", std::move(skips));
    context.printer().result(value, plain.empty() ? "(nothing to do)" : plain);
    return listingFailure(errors);
  }

  TreeOptions options = o;
  options.overwrite = true;  // a changed file replaces its older copy
  TransferSettings settings = settingsFrom(context, options);
  Backup backup(context, o.backupDir);
  std::vector<std::string> deleted;  // target paths removed (or moved to the backup)
  const auto removeTarget = [&](const std::string& relative) {
    const std::string path = targetPath(relative);
    Status status;
    if (upload) {
      status = backup.active() ? backup.keep(relative, path) : deleteRemote(context, path);
    } else {
      fs::remove_all(path, error);
      if (error) status = Status::ioError(error.message());
    }
    if (status.ok()) {
      deleted.push_back(path);
    } else {
      skipped.push_back({path, "not deleted: " + status.message()});
    }
    return status.ok();
  };
  for (const auto& relative : plan->replaced) {
    if (removeTarget(relative)) memory.gone(relative);
  }
  if (upload) {
    std::set<std::string> made;
    if (Status status = makeFolders(context, remoteDir, &made); !status.ok()) return status;
    for (const auto& folder : plan->folders) {
      if (Status status = makeFolders(context, remotePath(folder), &made); !status.ok()) {
        skipped.push_back({remotePath(folder), "cannot create the folder: " + status.message()});
      }
    }
    for (const Rename& rename : renames) {
      Status status = moveRemote(context, remotePath(rename.from), remotePath(rename.to));
      if (status.ok()) {
        memory.gone(rename.from);
        context.printer().note("Moved " + remotePath(rename.from) + " to " + remotePath(rename.to));
      } else {
        skipped.push_back({remotePath(rename.from),
                           "not moved to " + remotePath(rename.to) + ": " + status.message()});
      }
    }
    // What an upload would overwrite goes to the backup first.
    for (const auto& relative : plan->transfers) {
      if (!backup.active() || !memory.remote(relative)) continue;
      if (Status status = backup.keep(relative, remotePath(relative)); !status.ok()) {
        skipped.push_back({remotePath(relative), "not kept in the backup: " + status.message()});
      }
    }
  } else {
    // Everything below the local folder is made and written strictly beneath it.
    auto folder = FolderHandle::open(localDir, true);
    if (!folder.ok()) return folder.status();
    for (const auto& relative : plan->folders) {
      if (auto below = (*folder)->below(relative, true); !below.ok()) {
        skipped.push_back({localPath(relative), below.status().message()});
      }
    }
    settings.localFolder = std::move(*folder);
  }
  ProgressBar bar = context.progressBar();
  TransferQueue queue(
      upload ? TransferQueue::Direction::kUpload : TransferQueue::Direction::kDownload, settings);
  std::vector<TransferFacts> facts;
  const auto outcomes = queue.run(items, &bar, &facts);
  for (const auto& relative : plan->deletions) {
    if (removeTarget(relative)) memory.gone(relative);
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (outcomes[i].ok()) memory.sent(plan->transfers[i], facts[i], items[i].local);
  }
  backup.report(context.printer());
  if (Status status = memory.save(plan->transfers); !status.ok()) {
    context.printer().note("The sync state was not saved: " + status.message());
  }
  return summarize(context, upload ? "Uploaded" : "Downloaded", items, outcomes, skipped, errors,
                   upload, deleted);
}

}  // namespace nb::cli
