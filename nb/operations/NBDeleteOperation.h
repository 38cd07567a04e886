// NBDeleteOperation deletes the entry named by an NBFolderOperationItem and
// hands the delegate the reply body as text. Same threading as NBOperation.
#pragma once

#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"

namespace nb {

class NBDeleteOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<API host>/1/fileops/delete with "root", "path" (collection
  // stops at the first absent value).
  Result<NBServiceRequest> serviceRequest() const override;
  // Success: the reply body as text, not parsed ("" when there was none).
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;
};

}  // namespace nb
