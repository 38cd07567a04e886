#include "nb/operations/NBDeleteOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"

namespace nb {

Result<NBServiceRequest> NBDeleteOperation::serviceRequest() const {
  const auto* item = itemAs<NBFolderOperationItem>();
  if (item == nullptr) return Status::invalidArgument("deleting needs an NBFolderOperationItem");
  return NBServiceRequest{
      NBAPIInfo::fileCallScheme() + NBHosts::apiHost() + "/1/fileops/delete",
      NBServiceRequest::collectParameters({{"root", &item->root}, {"path", &item->path}})};
}

Result<NBResult> NBDeleteOperation::resultFromReply(const std::optional<std::string>& body) const {
  return NBResult::text(body.value_or(""));
}

}  // namespace nb
