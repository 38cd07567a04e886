#include "nb/operations/NBCopyRefOperation.h"

#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

std::variant<NBServiceRequest, NBFailure> NBCopyRefOperation::serviceRequest() const {
  const auto* item = itemAs<NBFolderOperationItem>();
  if (item == nullptr) return NBFailure{"a copy reference needs an NBFolderOperationItem"};
  if (!item->root || !item->path) return NBFailure{"a copy reference needs a root and a path"};
  if (!NBServiceRequest::isURLPathText(*item->root) ||
      !NBServiceRequest::isURLPathText(*item->path)) {
    return NBFailure{"the root or path cannot form a copy-reference URL: \"" + *item->root +
                     "\", \"" + *item->path + "\""};
  }
  return NBServiceRequest{
      "http://" + NBHosts::apiHost() + "/1/copy_ref/" + *item->root + "/" + *item->path,
      NBServiceRequest::collectParameters({{"root", &item->root}, {"path", &item->path}})};
}

std::variant<NBResult, NBFailure> NBCopyRefOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  return NBReply::jsonResult(body);
}

}  // namespace nb
