#include "nb/operations/NBGetShareLinkOperation.h"

#include "nb/Private/NBHosts.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

std::variant<NBServiceRequest, NBFailure> NBGetShareLinkOperation::serviceRequest() const {
  const auto* item = itemAs<NBGetShareLinkOperationItem>();
  if (item == nullptr) return NBFailure{"a share link needs an NBGetShareLinkOperationItem"};
  if (!item->root || !item->path) return NBFailure{"a share link needs a root and a path"};
  if (!NBServiceRequest::isURLPathText(*item->root)) {
    return NBFailure{"the root cannot form a share URL: \"" + *item->root + "\""};
  }
  NBServiceRequest request{"http://" + NBHosts::apiHost() + "/1/shares/" + *item->root + "/" +
                               NSStringHelper::urlEncodeCovertString(*item->path),
                           {}};
  if (item->accessCode) request.parameters.emplace_back("access_code", *item->accessCode);
  if (item->name) request.parameters.emplace_back("name", *item->name);
  request.parameters.emplace_back("root", *item->root);
  request.parameters.emplace_back("path", *item->path);
  return request;
}

std::variant<NBResult, NBFailure> NBGetShareLinkOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  return NBReply::jsonResult(body);
}

}  // namespace nb
