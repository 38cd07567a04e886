// NBCreateFolderOperation creates a folder at an NBFolderOperationItem's root
// and path and hands the delegate an NBFolderInfo describing it.
// Same threading as NBOperation.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nb/Private/NBRecord.h"
#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"

namespace nb {

// The created folder. As an NBFolderOperationItem it can name the folder in a
// follow-up call (its consumer stays absent: file calls sign with NBAPIInfo's).
struct NBFolderInfo : NBFolderOperationItem, NBRecord {
  std::optional<std::string> fileID;  // "file_id"
};

class NBCreateFolderOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<API host>/1/fileops/create_folder with "root", "path"
  // (collection stops at the first absent value).
  Result<NBServiceRequest> serviceRequest() const override;
  // Success: an NBFolderInfo. A reply that is not a JSON object fails.
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;

  static std::shared_ptr<NBFolderInfo> parseFolderInfo(const JsonValue& object);
};

}  // namespace nb
