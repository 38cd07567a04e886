#include "cli/RemoteTree.h"

#include <time.h>

#include <deque>
#include <map>
#include <set>
#include <utility>

#include "nb/operations/NBGetDirectoryOperation.h"

namespace nb::cli {
namespace {

std::string joinRemote(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder == "/") return "/" + name;
  return folder + "/" + name;
}

// One page of a remote folder's listing, asked for at once.
std::future<Result<NBResult>> listPage(CommandContext& context, const std::string& path, int page,
                                       int folderLimit) {
  auto item = std::make_shared<NBGetDirectoryOperationItem>();
  item->root = context.options().root;
  if (path != "/" && !path.empty()) item->path = path;
  item->pageIndex = page;
  item->pageSize = RemoteTree::kPageSize;
  item->fileLimit = folderLimit;
  return context.performLater<NBGetDirectoryOperation>(item);
}

// The walk's state: each folder's entries as they come, the pages waiting to
// be asked for and those asked, and the bounds' counters.
class Walk {
 public:
  Walk(CommandContext& context, std::string root, const RemoteTree::Options& options)
      : context_(context), root_(std::move(root)), options_(options) {
    folders_[root_] = Folder{};
  }

  Result<TreeListing> run() {
    // The walked folder's second page is asked beside its first: a full first
    // page then costs no round trip more, and a shorter one only the unread
    // reply of a request made in parallel.
    waiting_ = {{root_, 0}, {root_, 1}};
    const std::size_t parallel = static_cast<std::size_t>(std::max(options_.parallel, 1));
    while (!waiting_.empty() || !asked_.empty()) {
      while (!waiting_.empty() && asked_.size() < parallel) {
        Page page = waiting_.front();
        waiting_.pop_front();
        if (folders_[page.path].ended) continue;
        auto reply = listPage(context_, page.path, page.index, options_.folderLimit);
        asked_.emplace_back(std::move(page), std::move(reply));
      }
      if (asked_.empty()) continue;  // only pages past an ended folder were left
      // The oldest first: its folder's next page, or its subfolders, go next.
      auto [page, reply] = std::move(asked_.front());
      asked_.pop_front();
      if (folders_[page.path].ended) continue;  // asked ahead, past the folder's end: unread
      // A failure leaves the calls still out to end unheard.
      if (Status status = take(page, CommandContext::outcome(reply.get())); !status.ok()) {
        return status;
      }
    }
    collect(root_);
    return std::move(listing_);
  }

 private:
  struct Page {
    std::string path;
    int index;
  };
  struct Folder {
    std::string relative;  // "" for the walked folder
    int depth = 0;
    std::size_t received = 0;
    bool ended = false;
    std::vector<TreeEntry> entries;
  };

  // Takes one page's outcome in; a Status that is not ok ends the walk.
  Status take(const Page& page, Result<NBResult> outcome) {
    Folder& folder = folders_[page.path];
    const bool walked = page.path == root_;
    if (!outcome.ok()) {
      if (walked && page.index == 0 && options_.missingIsEmpty &&
          outcome.status().code() == StatusCode::kNotFound) {
        folder.ended = true;
        return Status::OK();
      }
      return failed(page.path, folder, outcome.status());
    }
    auto listing = outcome->recordAs<NBDirectoryInfo>();
    if (!listing)
      return failed(page.path, folder, Status::corruption("the service sent no listing"));
    if (page.index == 0 && (!listing->fileInfo || listing->fileInfo->type == 0)) {
      return failed(page.path, folder, Status::invalidArgument(page.path + " is not a folder"));
    }
    if (walked && page.index == 0) {
      if (Status status = seen(listing->fileInfo->fileID, page.path); !status.ok()) return status;
    }
    const auto files = listing->files.value_or(std::vector<std::shared_ptr<NBFileInfo>>{});
    if (files.size() > static_cast<std::size_t>(RemoteTree::kPageSize)) {
      return Status::corruption("the service sent " + std::to_string(files.size()) +
                                " entries of " + page.path + " in one page of at most " +
                                std::to_string(RemoteTree::kPageSize));
    }
    folder.received += files.size();
    if (folder.received > static_cast<std::size_t>(options_.folderLimit)) {
      return Status::corruption("the service listed more than " +
                                std::to_string(options_.folderLimit) + " entries in " + page.path +
                                ", more than asked for: a listing that never ends?");
    }
    if (files.size() < static_cast<std::size_t>(RemoteTree::kPageSize)) {
      folder.ended = true;
    } else if (!walked || page.index != 0) {  // the walked folder's page 1 is asked
      waiting_.push_front({page.path, page.index + 1});
    }
    for (const auto& file : files) {
      if (Status status = add(page.path, folder, *file); !status.ok()) return status;
    }
    return Status::OK();
  }

  // A folder that cannot be listed: the end of the walk when it is the walked
  // folder, else an error of the listing (what it holds stays unknown).
  Status failed(const std::string& path, Folder& folder, const Status& status) {
    if (path == root_) return status;
    folder.ended = true;
    listing_.errors.push_back(
        {path, Status(status.code(), "cannot list the folder: " + status.message())});
    return Status::OK();
  }

  // Whether the folder id `id` is new to the walk; a loop when it is not.
  Status seen(const std::optional<std::string>& id, const std::string& path) {
    if (!id || id->empty()) return Status::OK();
    const auto [known, added] = folderIds_.emplace(*id, path);
    if (added) return Status::OK();
    return Status::corruption("the listing loops: " + path + " is the folder " + known->second +
                              " again (same id)");
  }

  Status add(const std::string& parentPath, Folder& parent, const NBFileInfo& file) {
    const std::string name = file.name.value_or("");
    const std::string path = joinRemote(parentPath, name);
    if (!storableName(name)) {
      listing_.skipped.push_back({path, "a name no local folder can hold"});
      return Status::OK();
    }
    if (++total_ > RemoteTree::kEntryLimit) {
      return Status::corruption("the listing of " + root_ + " holds more than " +
                                std::to_string(RemoteTree::kEntryLimit) + " entries");
    }
    const bool isFolder = file.type != 0;
    const std::string relative = parent.relative.empty() ? name : parent.relative + "/" + name;
    if (isFolder) {
      if (folders_.count(path)) return Status::OK();  // listed twice: once is enough
      if (parent.depth + 1 > RemoteTree::kDepthLimit) {
        return Status::corruption("the listing of " + root_ + " is deeper than " +
                                  std::to_string(RemoteTree::kDepthLimit) +
                                  " levels: a listing that loops?");
      }
      if (Status status = seen(file.fileID, path); !status.ok()) return status;
      Folder child;
      child.relative = relative;
      child.depth = parent.depth + 1;
      folders_.emplace(path, std::move(child));
      waiting_.push_back({path, 0});
    }
    const std::string time = file.modifyTime.value_or("");
    // `parent` stays valid: std::map does not move its elements.
    parent.entries.push_back({relative, isFolder, isFolder ? 0 : file.size,
                              RemoteTree::seconds(time), time, file.version.value_or("")});
    return Status::OK();
  }

  // Moves the entries of `path` and, depth first, of its folders to the listing.
  void collect(const std::string& path) {
    Folder& folder = folders_[path];
    for (TreeEntry& entry : folder.entries) {
      const bool isFolder = entry.folder;
      const std::string child = isFolder ? joinRemote(root_, entry.relative) : "";
      listing_.entries.push_back(std::move(entry));
      if (isFolder) collect(child);
    }
    folder.entries.clear();
    folder.entries.shrink_to_fit();
  }

  CommandContext& context_;
  const std::string root_;
  const RemoteTree::Options options_;
  std::map<std::string, Folder> folders_;         // by remote path
  std::map<std::string, std::string> folderIds_;  // folder id: the path it was seen at
  std::deque<Page> waiting_;
  std::deque<std::pair<Page, std::future<Result<NBResult>>>> asked_;
  std::size_t total_ = 0;
  TreeListing listing_;
};

}  // namespace

Result<TreeListing> RemoteTree::walk(CommandContext& context, const std::string& path,
                                     const Options& options) {
  return Walk(context, path, options).run();
}

long long RemoteTree::seconds(const std::string& serviceTime) {
  std::tm tm{};
  const char* end = ::strptime(serviceTime.c_str(), "%a, %d %b %Y %H:%M:%S %z", &tm);
  if (end == nullptr) return -1;
  const long offset = tm.tm_gmtoff;
  return static_cast<long long>(::timegm(&tm)) - offset;
}

}  // namespace nb::cli
