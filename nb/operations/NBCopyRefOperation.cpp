#include "nb/operations/NBCopyRefOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

Result<NBServiceRequest> NBCopyRefOperation::serviceRequest() const {
  const auto* item = itemAs<NBFolderOperationItem>();
  if (item == nullptr)
    return Status::invalidArgument("a copy reference needs an NBFolderOperationItem");
  if (!item->root || !item->path)
    return Status::invalidArgument("a copy reference needs a root and a path");
  if (!NBServiceRequest::isURLPathText(*item->root) ||
      !NBServiceRequest::isURLPathText(*item->path)) {
    return Status::invalidArgument("the root or path cannot form a copy-reference URL: \"" +
                                   *item->root + "\", \"" + *item->path + "\"");
  }
  return NBServiceRequest{
      NBAPIInfo::fileCallScheme() + NBHosts::apiHost() + "/1/copy_ref/" + *item->root + "/" +
          *item->path,
      NBServiceRequest::collectParameters({{"root", &item->root}, {"path", &item->path}})};
}

Result<NBResult> NBCopyRefOperation::resultFromReply(const std::optional<std::string>& body) const {
  return NBReply::jsonResult(body);
}

}  // namespace nb
