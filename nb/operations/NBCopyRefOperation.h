// NBCopyRefOperation obtains a copy reference for an entry: a token another
// account passes to NBCopyOperation as its source. It takes an
// NBFolderOperationItem and hands the delegate the parsed JSON reply.
// Same threading as NBOperation.
#pragma once

#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"

namespace nb {

class NBCopyRefOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<API host>/1/copy_ref/<root>/<path> with "root", "path". Root
  // and path go into the URL unchanged (the path's slashes form further
  // segments), so both are required and must consist of URL path characters:
  // a space, "?", "#" or a non-ASCII letter is refused before any request.
  Result<NBServiceRequest> serviceRequest() const override;
  // Success: the reply as a JSON value. A reply that is not JSON fails.
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;
};

}  // namespace nb
