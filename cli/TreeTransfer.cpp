#include "cli/TreeTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "cli/DownloadStream.h"
#include "cli/FailureText.h"
#include "cli/LocalFiles.h"
#include "cli/TransferQueue.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"
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
// Each file's entry is made only for a JSON summary, the one that lists them.
Status summarize(CommandContext& context, const char* verb, const std::vector<TransferItem>& items,
                 const std::vector<Status>& outcomes, const std::vector<Skip>& skipped,
                 bool upload) {
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
  JsonValue skips = JsonValue::array();
  std::string skipLines;
  for (const Skip& skip : skipped) {
    JsonValue entry = JsonValue::object();
    entry.set("path", JsonValue(skip.path));
    entry.set("reason", JsonValue(skip.reason));
    skips.push(std::move(entry));
    skipLines += "  skipped " + Printer::visible(skip.path) + ": " + skip.reason + "\n";
  }
  JsonValue value = JsonValue::object();
  value.set("ok", JsonValue(failedCount == 0));
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

// One page of a remote folder's listing, asked for at once.
std::future<Result<NBResult>> listPage(CommandContext& context, const std::string& path, int page) {
  auto item = std::make_shared<NBGetDirectoryOperationItem>();
  item->root = context.options().root;
  if (path != "/" && !path.empty()) item->path = path;
  item->pageIndex = page;
  item->pageSize = kPageSize;
  item->fileLimit = 1 << 30;
  return context.performLater<NBGetDirectoryOperation>(item);
}

using FileList = std::vector<std::shared_ptr<NBFileInfo>>;

// Adds the entries of the listed folder `path` (and, depth first, of the
// folders in it) to `entries`, folders before their contents.
void collect(const std::map<std::string, FileList>& listed, const std::string& path,
             const std::string& relative, std::vector<RemoteEntry>& entries,
             std::vector<Skip>* skipped) {
  const auto found = listed.find(path);
  if (found == listed.end()) return;
  for (const auto& file : found->second) {
    const std::string name = file->name.value_or("");
    const std::string child = relative.empty() ? name : relative + "/" + name;
    if (!storableName(name)) {
      if (skipped) skipped->push_back({joinRemote(path, name), "a name no local folder can hold"});
      continue;
    }
    entries.push_back({child, file->type != 0, file->size, file->modifyTime.value_or("")});
    if (file->type != 0) collect(listed, joinRemote(path, name), child, entries, skipped);
  }
}

// Every entry under the remote folder `path`. The folders of a tree are
// listed up to `parallel` at a time (a tree of many folders then costs a few
// round trips per level, not one per folder); the entries come in the same
// order as a walk of one folder after another.
Status walkRemote(CommandContext& context, const std::string& path,
                  std::vector<RemoteEntry>& entries, std::vector<Skip>* skipped, int parallel) {
  struct Page {
    std::string path;
    int index;
  };
  std::map<std::string, FileList> listed;
  // The walked folder's second page is asked beside its first: a full first
  // page then costs no round trip more, and a shorter one only the unread
  // reply of a request made in parallel.
  std::deque<Page> waiting = {{path, 0}, {path, 1}};
  std::set<std::string> ended;  // folders whose last page has come
  std::deque<std::pair<Page, std::future<Result<NBResult>>>> asked;
  const std::size_t limit = static_cast<std::size_t>(std::max(parallel, 1));
  while (!waiting.empty() || !asked.empty()) {
    while (!waiting.empty() && asked.size() < limit) {
      Page page = waiting.front();
      waiting.pop_front();
      if (ended.count(page.path)) continue;
      auto reply = listPage(context, page.path, page.index);
      asked.emplace_back(std::move(page), std::move(reply));
    }
    if (asked.empty()) continue;  // only pages past an ended folder were left
    // The oldest first: its folder's next page, or its subfolders, go next.
    auto [page, reply] = std::move(asked.front());
    asked.pop_front();
    if (ended.count(page.path)) continue;  // asked ahead, past the folder's end: unread
    // An error leaves the calls still out to end unheard.
    Result<NBResult> outcome = CommandContext::outcome(reply.get());
    if (!outcome.ok()) return outcome.status();
    auto listing = outcome->recordAs<NBDirectoryInfo>();
    if (!listing) return Status::corruption("the service sent no listing");
    if (page.index == 0 && (!listing->fileInfo || listing->fileInfo->type == 0)) {
      return Status::invalidArgument(page.path + " is not a folder");
    }
    const FileList files = listing->files.value_or(FileList{});
    FileList& all = listed[page.path];
    all.insert(all.end(), files.begin(), files.end());
    if (files.size() < static_cast<std::size_t>(kPageSize)) {
      ended.insert(page.path);
    } else if (page.path != path || page.index != 0) {  // the walked folder's page 1 is asked
      waiting.push_front({page.path, page.index + 1});
    }
    for (const auto& file : files) {
      const std::string name = file->name.value_or("");
      if (file->type != 0 && storableName(name))
        waiting.push_back({joinRemote(page.path, name), 0});
    }
  }
  collect(listed, path, "", entries, skipped);
  return Status::OK();
}

// Seconds since the epoch of the service's "Thu, 10 Dec 2026 15:33:59 +0000";
// -1 when the text has another form.
long long remoteTime(const std::string& text) {
  std::tm tm{};
  const char* end = ::strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S %z", &tm);
  if (end == nullptr) return -1;
  const long offset = tm.tm_gmtoff;
  return static_cast<long long>(::timegm(&tm)) - offset;
}

long long localTime(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_mtime) : -1;
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

struct LocalEntry {
  bool folder = false;
  std::uint64_t size = 0;
};

// Every entry under the local folder `dir`, by relative path; links and
// special files go to `skipped`.
void walkLocalTree(const fs::path& dir, const std::string& relative,
                   std::map<std::string, LocalEntry>& entries, std::vector<Skip>& skipped) {
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::string child = relative.empty() ? name : relative + "/" + name;
    const auto status = it->symlink_status(error);
    if (!storableName(name)) {
      skipped.push_back({it->path().string(), "a name the service cannot store"});
    } else if (fs::is_symlink(status)) {
      skipped.push_back({it->path().string(), "a symbolic link"});
    } else if (fs::is_directory(status)) {
      entries[child] = {true, 0};
      walkLocalTree(it->path(), child, entries, skipped);
    } else if (fs::is_regular_file(status)) {
      entries[child] = {false, static_cast<std::uint64_t>(it->file_size(error))};
    } else {
      skipped.push_back({it->path().string(), "a special file (device, pipe or socket)"});
    }
  }
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

Result<std::vector<RemoteEntry>> TreeTransfer::listTree(CommandContext& context,
                                                        const std::string& path) {
  std::vector<RemoteEntry> entries;
  if (Status status =
          walkRemote(context, trimSlash(CommandContext::remotePath(path)), entries, nullptr, 8);
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
  return summarize(context, "Uploaded", items, outcomes, skipped, true);
}

Status TreeTransfer::get(CommandContext& context, const TreeOptions& o) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const std::string remote = trimSlash(CommandContext::remotePath(o.sources.front()));
  std::vector<RemoteEntry> entries;
  std::vector<Skip> skipped;
  if (Status status = walkRemote(context, remote, entries, &skipped, o.transfers); !status.ok()) {
    return status;
  }
  const fs::path local = o.target;
  // Everything below the target is made and written strictly beneath it.
  auto folder = FolderHandle::open(o.target, true);
  if (!folder.ok()) return folder.status();
  std::vector<TransferItem> items;
  for (const RemoteEntry& entry : entries) {
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
  return summarize(context, "Downloaded", items, outcomes, skipped, false);
}

}  // namespace nb::cli

namespace nb::cli {

Status TreeTransfer::sync(CommandContext& context, const TreeOptions& o) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  std::error_code error;
  const bool upload = fs::is_directory(o.sources.front(), error);
  const std::string localDir = upload ? o.sources.front() : o.target;
  const std::string remoteDir =
      trimSlash(CommandContext::remotePath(upload ? o.target : o.sources.front()));

  std::map<std::string, LocalEntry> local;
  std::vector<Skip> skipped;
  if (fs::is_directory(localDir, error)) walkLocalTree(localDir, "", local, skipped);
  std::map<std::string, RemoteEntry> remote;
  {
    std::vector<RemoteEntry> entries;
    Status status = walkRemote(context, remoteDir, entries, &skipped, o.transfers);
    if (!status.ok() && !(upload && status.code() == StatusCode::kNotFound)) return status;
    for (RemoteEntry& entry : entries) remote[entry.relative] = std::move(entry);
  }

  // The plan: folders to make, files to send, entries to delete.
  std::vector<std::string> folders;
  std::vector<TransferItem> items;
  std::vector<std::string> deletions;
  if (upload) {
    for (const auto& [path, entry] : local) {
      const auto there = remote.find(path);
      if (entry.folder) {
        if (there == remote.end()) folders.push_back(joinRemote(remoteDir, path));
        continue;
      }
      bool send =
          there == remote.end() || there->second.folder || there->second.size != entry.size ||
          localTime((fs::path(localDir) / path).string()) > remoteTime(there->second.modifyTime);
      if (!send && o.checksum) {
        auto same =
            sameContent(context, (fs::path(localDir) / path).string(), joinRemote(remoteDir, path));
        if (!same.ok()) return same.status();
        send = !*same;
      }
      if (send)
        items.push_back(
            {(fs::path(localDir) / path).string(), joinRemote(remoteDir, path), entry.size});
    }
    if (o.deleteExtra) {
      for (const auto& [path, entry] : remote) {
        const auto slash = path.find_last_of('/');
        const bool parentGoes = slash != std::string::npos && !local.count(path.substr(0, slash));
        if (!local.count(path) && !parentGoes) deletions.push_back(joinRemote(remoteDir, path));
      }
    }
  } else {
    for (const auto& [path, entry] : remote) {
      const std::string target = (fs::path(localDir) / path).string();
      const auto here = local.find(path);
      if (entry.folder) {
        if (here == local.end()) folders.push_back(target);
        continue;
      }
      bool fetch = here == local.end() || here->second.folder || here->second.size != entry.size ||
                   remoteTime(entry.modifyTime) > localTime(target);
      if (!fetch && o.checksum) {
        auto same = sameContent(context, target, joinRemote(remoteDir, path));
        if (!same.ok()) return same.status();
        fetch = !*same;
      }
      if (fetch) {
        // The remote time, so that the next sync sees the copy as up to date.
        items.push_back(
            {target, joinRemote(remoteDir, path), entry.size, path, remoteTime(entry.modifyTime)});
      }
    }
    if (o.deleteExtra) {
      for (const auto& [path, entry] : local) {
        const auto slash = path.find_last_of('/');
        const bool parentGoes = slash != std::string::npos && !remote.count(path.substr(0, slash));
        if (!remote.count(path) && !parentGoes)
          deletions.push_back((fs::path(localDir) / path).string());
      }
    }
  }

  if (o.dryRun) {
    JsonValue plan = JsonValue::object();
    JsonValue send = JsonValue::array(), make = JsonValue::array(), remove = JsonValue::array();
    std::string plain;
    for (const auto& folder : folders) {
      make.push(JsonValue(folder));
      plain += "mkdir   " + folder + "\n";
    }
    for (const auto& item : items) {
      send.push(JsonValue(upload ? item.remote : item.local));
      plain += std::string(upload ? "put     " : "get     ") + (upload ? item.local : item.remote) +
               " -> " + (upload ? item.remote : item.local) + "\n";
    }
    for (const auto& path : deletions) {
      remove.push(JsonValue(path));
      plain += "delete  " + path + "\n";
    }
    plan.set("folders", std::move(make));
    plan.set("transfer", std::move(send));
    plan.set("delete", std::move(remove));
    context.printer().result(plan, plain.empty() ? "(nothing to do)" : plain);
    return Status::OK();
  }

  TreeOptions options = o;
  options.overwrite = true;  // a changed file replaces its older copy
  TransferSettings settings = settingsFrom(context, options);
  if (upload) {
    std::set<std::string> made;
    if (Status status = makeFolders(context, remoteDir, &made); !status.ok()) return status;
    for (const auto& folder : folders) {
      if (Status status = makeFolders(context, folder, &made); !status.ok()) {
        skipped.push_back({folder, "cannot create the folder: " + status.message()});
      }
    }
  } else {
    // Everything below the local folder is made and written strictly beneath it.
    auto folder = FolderHandle::open(localDir, true);
    if (!folder.ok()) return folder.status();
    for (const auto& made : folders) {
      const std::string relative = fs::path(made).lexically_relative(localDir).string();
      if (auto below = (*folder)->below(relative, true); !below.ok()) {
        skipped.push_back({made, below.status().message()});
      }
    }
    settings.localFolder = std::move(*folder);
  }
  ProgressBar bar = context.progressBar();
  TransferQueue queue(
      upload ? TransferQueue::Direction::kUpload : TransferQueue::Direction::kDownload, settings);
  const auto outcomes = queue.run(items, &bar);
  std::vector<Skip> failedDeletions;
  for (const auto& path : deletions) {
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
  if (!deletions.empty())
    context.printer().note("Deleted " + std::to_string(deletions.size()) +
                           " entries the source no longer has");
  return summarize(context, upload ? "Uploaded" : "Downloaded", items, outcomes, skipped, upload);
}

}  // namespace nb::cli
