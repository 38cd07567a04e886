// NBGetShareLinkOperation asks for a share link to an entry, optionally with a
// display name and an access code that visitors must give. It takes an
// NBGetShareLinkOperationItem and hands the delegate the parsed JSON reply.
// Same threading as NBOperation.
#pragma once

#include <optional>
#include <string>

#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"

namespace nb {

// `root` and `path` are required; `name` and `accessCode` are optional.
struct NBGetShareLinkOperationItem : NBFolderOperationItem {
  std::optional<std::string> name;        // display name of the share ("name")
  std::optional<std::string> accessCode;  // code a visitor must enter ("access_code")
};

class NBGetShareLinkOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<API host>/1/shares/<root>/<encoded path> with ["access_code"],
  // ["name"], "root", "path". The path is percent-encoded as one segment; the
  // root goes in unchanged. A missing root or path, or a root that cannot
  // stand in a URL, is refused before any request.
  Result<NBServiceRequest> serviceRequest() const override;
  // Success: the reply as a JSON value. A reply that is not JSON fails.
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;
};

}  // namespace nb
