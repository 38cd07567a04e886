// NBThumbnailOperation asks the conversion service for a thumbnail of a stored
// image at a requested size and hands the delegate the image bytes as they
// arrived (NBResult::bytes), neither decoded nor parsed. A status other than
// 200 gives one operationFail with the general status message.
// Used from the thread whose run loop runs the request.
#pragma once

#include <cstdint>

#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"

namespace nb {

struct NBThumbnailOperationItem : NBFolderOperationItem {
  std::int32_t width = 0;   // sent as "width", decimal
  std::int32_t height = 0;  // sent as "height", decimal
};

class NBThumbnailOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<conversion host>/1/fileops/thumbnail with "root", "path",
  // "width", "height" (collection stops at the first absent value).
  Result<NBServiceRequest> serviceRequest() const override;
  // The body bytes (none for an absent body).
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;

 protected:
  NBStatusTable statusTable() const override { return NBStatusTable::kNormal; }
};

}  // namespace nb
