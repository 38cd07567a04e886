// NBCopyOperation copies an entry, from a path or from a copy reference
// (NBCopyRefOperation), and hands the delegate the parsed JSON reply.
// Same threading as NBOperation.
#pragma once

#include <optional>
#include <string>

#include "nb/operations/NBMoveOperation.h"

namespace nb {

// A present `fromCopyRef` replaces `fromPath` as the source.
struct NBCopyOperationItem : NBMoveOperationItem {
  std::optional<std::string> fromCopyRef;
};

class NBCopyOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<API host>/1/fileops/copy with "root", then "from_copy_ref" or
  // else "from_path", then "to_path" (collection stops at the first absent value).
  Result<NBServiceRequest> serviceRequest() const override;
  // Success: the reply as a JSON value. A reply that is not JSON fails.
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;
};

}  // namespace nb
