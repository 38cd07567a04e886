#include "nb/operations/NBCopyOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

Result<NBServiceRequest> NBCopyOperation::serviceRequest() const {
  const auto* item = itemAs<NBCopyOperationItem>();
  if (item == nullptr) return Status::invalidArgument("copying needs an NBCopyOperationItem");
  const bool fromRef = item->fromCopyRef.has_value();
  return NBServiceRequest{
      NBAPIInfo::fileCallScheme() + NBHosts::apiHost() + "/1/fileops/copy",
      NBServiceRequest::collectParameters({{"root", &item->root},
                                           {fromRef ? "from_copy_ref" : "from_path",
                                            fromRef ? &item->fromCopyRef : &item->fromPath},
                                           {"to_path", &item->toPath}})};
}

Result<NBResult> NBCopyOperation::resultFromReply(const std::optional<std::string>& body) const {
  return NBReply::jsonResult(body);
}

}  // namespace nb
