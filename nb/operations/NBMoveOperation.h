// NBMoveOperation moves an entry within a root (NBMoveOperationItem) and hands
// the delegate the reply body as text. Same threading as NBOperation.
#pragma once

#include <optional>
#include <string>

#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"

namespace nb {

// The inherited `path` is not sent; the entry is named by `fromPath`.
struct NBMoveOperationItem : NBFolderOperationItem {
  std::optional<std::string> fromPath;
  std::optional<std::string> toPath;
};

class NBMoveOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<API host>/1/fileops/move with "root", "from_path", "to_path"
  // (collection stops at the first absent value).
  Result<NBServiceRequest> serviceRequest() const override;
  // Success: the reply body as text, not parsed ("" when there was none).
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;
};

}  // namespace nb
