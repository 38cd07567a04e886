#include "nb/operations/NBGetShareLinkOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

Result<NBServiceRequest> NBGetShareLinkOperation::serviceRequest() const {
  const auto* item = itemAs<NBGetShareLinkOperationItem>();
  if (item == nullptr)
    return Status::invalidArgument("a share link needs an NBGetShareLinkOperationItem");
  if (!item->root || !item->path)
    return Status::invalidArgument("a share link needs a root and a path");
  if (!NBServiceRequest::isURLPathText(*item->root)) {
    return Status::invalidArgument("the root cannot form a share URL: \"" + *item->root + "\"");
  }
  NBServiceRequest request{NBAPIInfo::fileCallScheme() + NBHosts::apiHost() + "/1/shares/" +
                               *item->root + "/" +
                               NSStringHelper::urlEncodeCovertString(*item->path),
                           {}};
  if (item->accessCode) request.parameters.emplace_back("access_code", *item->accessCode);
  if (item->name) request.parameters.emplace_back("name", *item->name);
  request.parameters.emplace_back("root", *item->root);
  request.parameters.emplace_back("path", *item->path);
  return request;
}

Result<NBResult> NBGetShareLinkOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  return NBReply::jsonResult(body);
}

}  // namespace nb
