#include "nb/operations/NBMoveOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"

namespace nb {

Result<NBServiceRequest> NBMoveOperation::serviceRequest() const {
  const auto* item = itemAs<NBMoveOperationItem>();
  if (item == nullptr) return Status::invalidArgument("moving needs an NBMoveOperationItem");
  return NBServiceRequest{
      NBAPIInfo::fileCallScheme() + NBHosts::apiHost() + "/1/fileops/move",
      NBServiceRequest::collectParameters(
          {{"root", &item->root}, {"from_path", &item->fromPath}, {"to_path", &item->toPath}})};
}

Result<NBResult> NBMoveOperation::resultFromReply(const std::optional<std::string>& body) const {
  return NBResult::text(body.value_or(""));
}

}  // namespace nb
