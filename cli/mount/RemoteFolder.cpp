#include "cli/mount/RemoteFolder.h"

#include <cerrno>

#include "cli/RemoteTree.h"
#include "cli/ReplyJson.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"
#include "nb/operations/NBDownloadFileOperation.h"
#include "nb/operations/NBGetDirectoryOperation.h"
#include "nb/operations/NBGetUserInfoOperation.h"
#include "nb/operations/NBMoveOperation.h"
#include "nb/operations/NBUploadFileOperation.h"

namespace nb::cli::mount {
namespace {

// A download item that names the local file the bytes go to.
struct CacheDownloadItem : NBFolderOperationItem {
  std::string target;
};

// The library's download, written to the cache file instead of under the
// home folder (beside the target, renamed onto it when complete).
class CacheDownloadOperation : public NBDownloadFileOperation {
 public:
  using NBDownloadFileOperation::NBDownloadFileOperation;

 protected:
  std::optional<std::string> itemFilePath() const override {
    const auto* item = itemAs<CacheDownloadItem>();
    if (item == nullptr || item->target.empty()) return std::nullopt;
    return item->target;
  }
};

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

RemoteEntry entryOf(const NBFileInfo& file) {
  RemoteEntry entry;
  entry.folder = file.type != 0;
  entry.size = entry.folder ? 0 : file.size;
  const long long seconds = RemoteTree::seconds(file.modifyTime.value_or(""));
  entry.modified = seconds < 0 ? 0 : static_cast<time_t>(seconds);
  entry.version = file.version.value_or("");
  return entry;
}

}  // namespace

RemoteFolder::RemoteFolder(CommandContext& context, std::string base)
    : context_(context), base_(std::move(base)) {
  while (base_.size() > 1 && base_.ends_with('/')) base_.pop_back();
}

std::string RemoteFolder::servicePath(const std::string& path) const {
  if (path == "/") return base_;
  return base_ == "/" ? path : base_ + path;
}

template <class Item>
std::shared_ptr<Item> RemoteFolder::item(const std::string& path) const {
  auto made = std::make_shared<Item>();
  made->root = context_.options().root;
  made->path = servicePath(path);
  return made;
}

Result<RemoteListing> RemoteFolder::list(const std::string& path) const {
  RemoteListing listing;
  for (int page = 0;; ++page) {
    auto ask = item<NBGetDirectoryOperationItem>(path);
    if (ask->path == "/") ask->path.reset();
    ask->pageIndex = page;
    ask->pageSize = RemoteTree::kPageSize;
    ask->fileLimit = RemoteTree::kFolderLimit;
    const auto outcome = context_.perform<NBGetDirectoryOperation>(ask);
    if (!outcome.ok()) return outcome.status();
    const auto reply = outcome->recordAs<NBDirectoryInfo>();
    if (!reply) return Status::corruption("the service sent no listing");
    if (reply->fileInfo && reply->fileInfo->type == 0) {
      return Status(StatusCode::kInvalidArgument, "not a folder");
    }
    const std::size_t count = reply->files ? reply->files->size() : 0;
    for (std::size_t i = 0; i < count; ++i) {
      const NBFileInfo& file = *(*reply->files)[i];
      if (file.isDeleted || !file.name || file.name->empty()) continue;
      listing[baseName(*file.name)] = entryOf(file);
    }
    if (count < static_cast<std::size_t>(RemoteTree::kPageSize) ||
        listing.size() >= static_cast<std::size_t>(RemoteTree::kFolderLimit)) {
      return listing;
    }
  }
}

Result<RemoteEntry> RemoteFolder::stat(const std::string& path) const {
  auto ask = item<NBGetDirectoryOperationItem>(path);
  if (ask->path == "/") ask->path.reset();
  ask->isList = false;
  const auto outcome = context_.perform<NBGetDirectoryOperation>(ask);
  if (!outcome.ok()) return outcome.status();
  const auto reply = outcome->recordAs<NBDirectoryInfo>();
  if (!reply || !reply->fileInfo) return Status::corruption("the service sent no entry");
  if (reply->fileInfo->isDeleted) return Status::notFound("deleted");
  return entryOf(*reply->fileInfo);
}

Status RemoteFolder::download(const std::string& path, const std::string& target) const {
  auto ask = item<CacheDownloadItem>(path);
  ask->target = target;
  return context_.perform<CacheDownloadOperation>(ask).status();
}

Result<std::string> RemoteFolder::upload(const std::string& path, const std::string& source) const {
  auto ask = item<NBUploadFileOperationItem>(path);
  ask->isOverwrite = true;
  ask->fileName = baseName(path);
  ask->filePath = source;
  const auto outcome = context_.perform<NBUploadFileOperation>(ask);
  if (!outcome.ok()) return outcome.status();
  const JsonValue reply = ReplyJson::from(*outcome);
  const JsonValue* version = reply.isObject() ? reply.find("rev") : nullptr;
  return version && version->isString() ? std::string(version->stringValue()) : std::string();
}

Status RemoteFolder::makeFolder(const std::string& path) const {
  return context_.perform<NBCreateFolderOperation>(item<NBFolderOperationItem>(path)).status();
}

Status RemoteFolder::remove(const std::string& path) const {
  return context_.perform<NBDeleteOperation>(item<NBFolderOperationItem>(path)).status();
}

Status RemoteFolder::move(const std::string& from, const std::string& to) const {
  auto ask = std::make_shared<NBMoveOperationItem>();
  ask->root = context_.options().root;
  ask->fromPath = servicePath(from);
  ask->toPath = servicePath(to);
  return context_.perform<NBMoveOperation>(ask).status();
}

Result<Quota> RemoteFolder::quota() const {
  const auto outcome =
      context_.perform<NBGetUserInfoOperation>(std::make_shared<NBOperationItem>());
  if (!outcome.ok()) return outcome.status();
  const auto info = outcome->recordAs<NBUserInfo>();
  if (!info) return Status::corruption("the service sent no account record");
  Quota quota;
  quota.total = static_cast<std::uint64_t>(std::max<std::int64_t>(info->quotaTotal, 0));
  quota.used = static_cast<std::uint64_t>(std::max<std::int64_t>(info->quotaUsed, 0));
  quota.largestFile = static_cast<std::uint64_t>(std::max<std::int64_t>(info->maxFileSize, 0));
  return quota;
}

int RemoteFolder::errnoFor(const Status& status) {
  switch (status.code()) {
    case StatusCode::kOk:
      return 0;
    case StatusCode::kNotFound:
      return ENOENT;
    case StatusCode::kAlreadyExists:
      return EEXIST;
    case StatusCode::kResourceExhausted:
      return EDQUOT;
    case StatusCode::kInvalidArgument:
      return EINVAL;
    case StatusCode::kPermissionDenied:
    case StatusCode::kUnauthenticated:
      return EACCES;
    default:
      return EIO;  // the network, a time-out, a broken reply
  }
}

}  // namespace nb::cli::mount
