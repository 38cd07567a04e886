#include "nb/operations/NBDownloadFileOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/internal/NBReplySink.h"
#include "nb/platform/DataHome.h"

namespace nb {
namespace {

// True when `name` has a ".." component, which would lead out of the folder
// it is joined to.
bool climbsOut(std::string_view name) {
  for (std::size_t start = 0; start <= name.size();) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::string NBDownloadFileOperation::temporaryFilePath(std::string_view root,
                                                       std::string_view path) {
  std::string result = DataHome::homeDirectory();
  result.append("/tmp/").append(root).append("/").append(path);
  return result;
}

Status NBDownloadFileOperation::checkFolderItem(const NBFolderOperationItem* item) const {
  if (item == nullptr) return Status::invalidArgument("a download needs an NBFolderOperationItem");
  if (!item->root || !item->path) {
    return Status::invalidArgument("the item needs both root and path");
  }
  if (item->root->empty() || item->path->empty()) {
    return Status::invalidArgument("the item needs a non-empty root and path");
  }
  if (climbsOut(*item->root) || climbsOut(*item->path)) {
    return Status::invalidArgument("a root or path with a \"..\" component is refused");
  }
  if (item->root->find('\0') != std::string::npos || item->path->find('\0') != std::string::npos) {
    return Status::invalidArgument("a root or path with a NUL character is refused");
  }
  return Status::OK();
}

std::optional<std::string> NBDownloadFileOperation::itemFilePath() const {
  const auto* item = itemAs<NBFolderOperationItem>();
  if (!checkFolderItem(item).ok()) return std::nullopt;
  return temporaryFilePath(*item->root, *item->path);
}

Result<NBServiceRequest> NBDownloadFileOperation::serviceRequest() const {
  const auto* item = itemAs<NBFolderOperationItem>();
  if (Status status = checkFolderItem(item); !status.ok()) return status;
  return NBServiceRequest{
      NBAPIInfo::fileCallScheme() + NBHosts::contentHost() + "/1/fileops/download_file",
      NBServiceRequest::collectParameters({{"root", &item->root}, {"path", &item->path}})};
}

void NBDownloadFileOperation::internalInit() { _tempFilePath = itemFilePath().value_or(""); }

std::unique_ptr<NBReplySink> NBDownloadFileOperation::replySink() {
  return NBReplySink::file(_tempFilePath);
}

Result<NBResult> NBDownloadFileOperation::resultFromReply(
    const std::optional<std::string>& /*body*/) const {
  return NBResult::text(_tempFilePath);
}

}  // namespace nb
