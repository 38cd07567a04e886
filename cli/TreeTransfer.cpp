#include "cli/TreeTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"

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
                 const std::vector<ListingError>& errors, bool upload) {
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
  const std::string plain =
      std::string(verb) + " " + std::to_string(done) + " of " + std::to_string(items.size()) +
      " files (" + ProgressBar::formatBytes(static_cast<double>(bytes)) + "), skipped " +
      std::to_string(skipped.size()) + ", failed " + std::to_string(failedCount) +
      (errors.empty() ? "" : ", not read " + std::to_string(errors.size())) + "\n" +
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

// Whether the local file holds the same bytes as the remote one.
Result<bool> sameContent(CommandContext& context, const std::string& local,
                         const std::string& remote) {
  auto copy = PartialFile::temporary();
  if (!copy.ok()) return copy.status();
  const Status status = DownloadStream::run(
      context.options().root, remote, (*copy)->fd(), "cannot write " + (*copy)->path(), nullptr,
      std::chrono::seconds(context.options().timeoutSeconds), nullptr);
  if (!status.ok()) return status;
  std::ifstream a(local, std::ios::binary), b((*copy)->path(), std::ios::binary);
  return std::equal(std::istreambuf_iterator<char>(a), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(b), std::istreambuf_iterator<char>());
}

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
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const std::string remote = trimSlash(CommandContext::remotePath(o.sources.front()));
  auto tree = RemoteTree::walk(context, remote, {o.transfers});
  if (!tree.ok()) return tree.status();
  const fs::path local = o.target;
  // Everything below the target is made and written strictly beneath it.
  auto folder = FolderHandle::open(o.target, true);
  if (!folder.ok()) return folder.status();
  std::vector<TransferItem> items;
  std::vector<Skip> skipped = tree->skipped;
  for (const TreeEntry& entry : tree->entries) {
    const fs::path path = local / entry.relative;
    if (entry.folder) {
      if (auto made = (*folder)->below(entry.relative, true); !made.ok()) {
        skipped.push_back({path.string(), made.status().message()});
      }
    } else {
      items.push_back(
          {path.string(), joinRemote(remote, entry.relative), entry.size, entry.relative});
    }
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
  std::error_code error;
  const bool localExists = fs::exists(localDir, error);
  if (upload ? !fs::is_directory(localDir, error) : localExists && !fs::is_directory(localDir)) {
    return Status::invalidArgument("sync: " + localDir + " is not a local folder");
  }
  if (Status status = context.requireSignedIn(); !status.ok()) return status;

  TreeListing local;
  if (localExists) local = LocalTree::walk(localDir, {o.oneFileSystem});
  auto remote =
      RemoteTree::walk(context, remoteDir, {o.transfers, RemoteTree::kFolderLimit, upload});
  if (!remote.ok()) return remote.status();
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
  SameContent compare;
  if (o.checksum) {
    compare = [&](const std::string& relative) {
      return sameContent(context, localPath(relative), remotePath(relative));
    };
  }
  // A side that could not be listed in full may hold what looks missing:
  // nothing is deleted then.
  const bool deleting = o.deleteExtra && errors.empty();
  auto plan = upload ? planSync(local.entries, remote->entries, deleting, compare)
                     : planSync(remote->entries, local.entries, deleting, compare);
  if (!plan.ok()) return plan.status();
  const auto targetPath = [&](const std::string& relative) {
    return upload ? remotePath(relative) : localPath(relative);
  };
  if (o.deleteExtra && !errors.empty()) {
    context.printer().note("Deleting nothing: " + std::to_string(errors.size()) +
                           " folder(s) could not be listed, so what is missing is not known");
  }
  std::vector<TransferItem> items;
  for (const std::string& relative : plan->transfers) {
    items.push_back({localPath(relative), remotePath(relative), 0});
  }
  {
    // Sizes and times from the source's listing; a download takes the
    // remote time, so that the next sync sees the copy as up to date.
    std::map<std::string_view, const TreeEntry*> source;
    for (const TreeEntry& entry : upload ? local.entries : remote->entries) {
      source.emplace(entry.relative, &entry);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      const TreeEntry& entry = *source.at(plan->transfers[i]);
      items[i].size = entry.size;
      if (!upload) {
        items[i].relative = plan->transfers[i];
        items[i].modifyTime = entry.modified;
      }
    }
  }

  if (o.dryRun) {
    JsonValue value = JsonValue::object();
    JsonValue send = JsonValue::array(), make = JsonValue::array(), remove = JsonValue::array();
    std::string plain;
    for (const auto& folder : plan->folders) {
      make.push(JsonValue(targetPath(folder)));
      plain += "mkdir   " + targetPath(folder) + "\n";
    }
    for (const auto& item : items) {
      send.push(JsonValue(upload ? item.remote : item.local));
      plain += std::string(upload ? "put     " : "get     ") + (upload ? item.local : item.remote) +
               " -> " + (upload ? item.remote : item.local) + "\n";
    }
    for (const auto& path : plan->deletions) {
      remove.push(JsonValue(targetPath(path)));
      plain += "delete  " + targetPath(path) + "\n";
    }
    JsonValue skips = skipList(skipped, "skip    ", plain);
    for (const ListingError& error : errors) {
      plain += "failed  " + error.path + ": " + error.status.message() + "\n";
    }
    value.set("folders", std::move(make));
    value.set("transfer", std::move(send));
    value.set("delete", std::move(remove));
    value.set("skipped", std::move(skips));
    context.printer().result(value, plain.empty() ? "(nothing to do)" : plain);
    return listingFailure(errors);
  }

  TreeOptions options = o;
  options.overwrite = true;  // a changed file replaces its older copy
  TransferSettings settings = settingsFrom(context, options);
  if (upload) {
    std::set<std::string> made;
    if (Status status = makeFolders(context, remoteDir, &made); !status.ok()) return status;
    for (const auto& folder : plan->folders) {
      if (Status status = makeFolders(context, remotePath(folder), &made); !status.ok()) {
        skipped.push_back({remotePath(folder), "cannot create the folder: " + status.message()});
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
  const auto outcomes = queue.run(items, &bar);
  for (const auto& relative : plan->deletions) {
    const std::string path = targetPath(relative);
    if (upload) {
      auto item = std::make_shared<NBFolderOperationItem>();
      item->root = context.options().root;
      item->path = path;
      const auto outcome = context.perform<NBDeleteOperation>(item);
      if (!outcome.ok()) skipped.push_back({path, "not deleted: " + outcome.status().message()});
    } else {
      fs::remove_all(path, error);
      if (error) skipped.push_back({path, "not deleted: " + error.message()});
    }
  }
  if (!plan->deletions.empty())
    context.printer().note("Deleted " + std::to_string(plan->deletions.size()) +
                           " entries the source no longer has");
  return summarize(context, upload ? "Uploaded" : "Downloaded", items, outcomes, skipped, errors,
                   upload);
}

}  // namespace nb::cli
