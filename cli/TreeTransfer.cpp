#include "cli/TreeTransfer.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "cli/FailureText.h"
#include "cli/TransferQueue.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBGetDirectoryOperation.h"

namespace nb::cli {
namespace fs = std::filesystem;
namespace {

constexpr int kPageSize = 1000;

std::string joinRemote(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder == "/") return "/" + name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string trimSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A name the service can store and a local folder can hold.
bool storableName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return false;
  }
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\\'; });
}

struct Skip {
  std::string path;
  std::string reason;
};

// Prints the job's summary and returns its Status: ok only when every file went.
Status summarize(CommandContext& context, const char* verb, const std::vector<TransferItem>& items,
                 const std::vector<Status>& outcomes, const std::vector<Skip>& skipped,
                 bool upload) {
  JsonValue files = JsonValue::array();
  JsonValue failed = JsonValue::array();
  std::string failures;
  std::uint64_t bytes = 0;
  int done = 0;
  Status first;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Status& status = outcomes[i];
    JsonValue entry = JsonValue::object();
    entry.set("local", JsonValue(items[i].local));
    entry.set("remote", JsonValue(items[i].remote));
    entry.set("size", JsonValue(static_cast<std::int64_t>(items[i].size)));
    entry.set("ok", JsonValue(status.ok()));
    if (status.ok()) {
      ++done;
      bytes += items[i].size;
    } else {
      entry.set("error", JsonValue(status.message()));
      entry.set("code", JsonValue(FailureText::machineCode(status)));
      failed.push(entry);
      const std::string explanation = FailureText::explanation(status);
      failures += "  failed  " + (upload ? items[i].local : items[i].remote) + ": " +
                  status.message() + (explanation.empty() ? "" : " (" + explanation + ")") + "\n";
      if (first.ok()) first = status;
    }
    files.push(std::move(entry));
  }
  JsonValue skips = JsonValue::array();
  std::string skipLines;
  for (const Skip& skip : skipped) {
    JsonValue entry = JsonValue::object();
    entry.set("path", JsonValue(skip.path));
    entry.set("reason", JsonValue(skip.reason));
    skips.push(std::move(entry));
    skipLines += "  skipped " + skip.path + ": " + skip.reason + "\n";
  }
  const int failedCount = static_cast<int>(items.size()) - done;
  JsonValue value = JsonValue::object();
  value.set("transferred", JsonValue(static_cast<std::int64_t>(done)));
  value.set("bytes", JsonValue(static_cast<std::int64_t>(bytes)));
  value.set("skipped", std::move(skips));
  value.set("failed", std::move(failed));
  value.set("files", std::move(files));
  const std::string plain = std::string(verb) + " " + std::to_string(done) + " of " +
                            std::to_string(items.size()) + " files (" +
                            ProgressBar::formatBytes(static_cast<double>(bytes)) + "), skipped " +
                            std::to_string(skipped.size()) + ", failed " +
                            std::to_string(failedCount) + "\n" + skipLines + failures;
  context.printer().result(value, plain);
  if (failedCount == 0) return Status::OK();
  return Status(first.code(), std::to_string(failedCount) + " of " + std::to_string(items.size()) +
                                  " files failed; first: " + first.message());
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

// Adds the contents of the local folder `dir` (mapped to `remote`) to the job.
void walkLocal(const fs::path& dir, const std::string& remote, std::vector<std::string>& folders,
               std::vector<TransferItem>& items, std::vector<Skip>& skipped) {
  std::error_code error;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    entries.push_back(*it);
  }
  if (error) {
    skipped.push_back({dir.string(), "cannot read the folder: " + error.message()});
    return;
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path() < b.path(); });
  for (const auto& entry : entries) {
    const std::string name = entry.path().filename().string();
    const std::string local = entry.path().string();
    if (!storableName(name)) {
      skipped.push_back({local, "a name the service cannot store"});
      continue;
    }
    const std::string target = joinRemote(remote, name);
    const auto status = entry.symlink_status(error);
    if (fs::is_symlink(status)) {
      skipped.push_back({local, "a symbolic link"});
    } else if (fs::is_directory(status)) {
      folders.push_back(target);
      walkLocal(entry.path(), target, folders, items, skipped);
    } else if (fs::is_regular_file(status)) {
      items.push_back({local, target, static_cast<std::uint64_t>(entry.file_size(error))});
    } else {
      skipped.push_back({local, "a special file (device, pipe or socket)"});
    }
  }
}

Result<std::shared_ptr<NBDirectoryInfo>> listPage(CommandContext& context, const std::string& path,
                                                  int page) {
  auto item = std::make_shared<NBGetDirectoryOperationItem>();
  item->root = context.options().root;
  if (path != "/" && !path.empty()) item->path = path;
  item->pageIndex = page;
  item->pageSize = kPageSize;
  item->fileLimit = 1 << 30;
  const auto outcome = context.perform<NBGetDirectoryOperation>(item);
  if (!outcome.ok()) return outcome.status();
  auto listing = outcome->recordAs<NBDirectoryInfo>();
  if (!listing) return Status::corruption("the service sent no listing");
  return listing;
}

Status walkRemote(CommandContext& context, const std::string& path, const std::string& relative,
                  std::vector<RemoteEntry>& entries, std::vector<Skip>* skipped) {
  for (int page = 0;; ++page) {
    auto listing = listPage(context, path, page);
    if (!listing.ok()) return listing.status();
    if (page == 0 && (!(*listing)->fileInfo || (*listing)->fileInfo->type == 0)) {
      return Status::invalidArgument(path + " is not a folder");
    }
    const auto files = (*listing)->files.value_or(std::vector<std::shared_ptr<NBFileInfo>>{});
    for (const auto& file : files) {
      const std::string name = file->name.value_or("");
      const std::string child = relative.empty() ? name : relative + "/" + name;
      if (!storableName(name)) {
        if (skipped)
          skipped->push_back({joinRemote(path, name), "a name no local folder can hold"});
        continue;
      }
      entries.push_back({child, file->type != 0, file->size, file->modifyTime.value_or("")});
      if (file->type != 0) {
        if (Status status = walkRemote(context, joinRemote(path, name), child, entries, skipped);
            !status.ok()) {
          return status;
        }
      }
    }
    if (files.size() < static_cast<std::size_t>(kPageSize)) return Status::OK();
  }
}

}  // namespace

Status TreeTransfer::makeFolders(CommandContext& context, const std::string& path) {
  const std::string full = trimSlash(CommandContext::remotePath(path));
  if (full == "/") return Status::OK();
  std::string prefix;
  std::size_t start = 1;
  while (start <= full.size()) {
    std::size_t end = full.find('/', start);
    if (end == std::string::npos) end = full.size();
    prefix = full.substr(0, end);
    start = end + 1;
    auto item = std::make_shared<NBFolderOperationItem>();
    item->root = context.options().root;
    item->path = prefix;
    const auto outcome = context.perform<NBCreateFolderOperation>(item);
    if (!outcome.ok() && outcome.status().code() != StatusCode::kAlreadyExists) {
      return outcome.status();
    }
  }
  return Status::OK();
}

Result<std::vector<RemoteEntry>> TreeTransfer::listTree(CommandContext& context,
                                                        const std::string& path) {
  std::vector<RemoteEntry> entries;
  if (Status status =
          walkRemote(context, trimSlash(CommandContext::remotePath(path)), "", entries, nullptr);
      !status.ok()) {
    return status;
  }
  return entries;
}

Status TreeTransfer::put(CommandContext& context, const TreeOptions& o) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const std::string base = trimSlash(CommandContext::remotePath(o.target));
  std::vector<std::string> folders = {base};
  std::vector<TransferItem> items;
  std::vector<Skip> skipped;
  // One folder given with -r: its contents go into the target, as `cp -r a b`
  // into a new b; with several sources each keeps its own name in the target.
  const bool contentsOnly = o.sources.size() == 1;
  for (const std::string& source : o.sources) {
    if (source == "-") return Status::invalidArgument("put: - (stdin) takes one remote file");
    std::error_code error;
    const auto status = fs::symlink_status(source, error);
    const std::string name = fs::path(trimSlash(source)).filename().string();
    if (error) {
      skipped.push_back({source, error.message()});
    } else if (fs::is_directory(status) || (fs::is_symlink(status) && fs::is_directory(source))) {
      if (!o.recursive) {
        skipped.push_back({source, "a folder: give -r to put it with its contents"});
        continue;
      }
      const std::string remote = contentsOnly ? base : joinRemote(base, name);
      if (remote != base) folders.push_back(remote);
      walkLocal(source, remote, folders, items, skipped);
    } else if (fs::is_regular_file(fs::status(source, error))) {
      items.push_back({source, joinRemote(base, name), fs::file_size(source, error)});
    } else {
      skipped.push_back({source, "a special file (device, pipe or socket)"});
    }
  }
  if (items.empty() && folders.size() == 1 && !skipped.empty() && !o.recursive) {
    return Status::invalidArgument(skipped.front().path + " is " + skipped.front().reason);
  }
  if (Status status = makeFolders(context, base); !status.ok()) return status;
  for (std::size_t i = 1; i < folders.size(); ++i) {
    if (Status status = makeFolders(context, folders[i]); !status.ok()) {
      skipped.push_back({folders[i], "cannot create the folder: " + status.message()});
    }
  }
  ProgressBar bar = context.progressBar();
  TransferQueue queue(TransferQueue::Direction::kUpload, settingsFrom(context, o));
  const auto outcomes = queue.run(items, &bar);
  return summarize(context, "Uploaded", items, outcomes, skipped, true);
}

Status TreeTransfer::get(CommandContext& context, const TreeOptions& o) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const std::string remote = trimSlash(CommandContext::remotePath(o.sources.front()));
  std::vector<RemoteEntry> entries;
  std::vector<Skip> skipped;
  if (Status status = walkRemote(context, remote, "", entries, &skipped); !status.ok()) {
    return status;
  }
  const fs::path local = o.target;
  std::error_code error;
  fs::create_directories(local, error);
  if (error) return Status::ioError("cannot create " + local.string() + ": " + error.message());
  std::vector<TransferItem> items;
  for (const RemoteEntry& entry : entries) {
    const fs::path path = local / entry.relative;
    if (entry.folder) {
      fs::create_directories(path, error);
      if (error) skipped.push_back({path.string(), "cannot create: " + error.message()});
    } else {
      items.push_back({path.string(), joinRemote(remote, entry.relative), entry.size});
    }
  }
  ProgressBar bar = context.progressBar();
  TransferQueue queue(TransferQueue::Direction::kDownload, settingsFrom(context, o));
  const auto outcomes = queue.run(items, &bar);
  return summarize(context, "Downloaded", items, outcomes, skipped, false);
}

}  // namespace nb::cli
