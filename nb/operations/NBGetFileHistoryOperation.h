// NBGetFileHistoryOperation lists the stored versions of one file, named by an
// NBFolderOperationItem, and hands the delegate an NBFileHistoryList.
// Same threading as NBOperation.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nb/Private/NBRecord.h"
#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"

namespace nb {

// One stored version of a file.
struct NBFileHistoryInfo : NBRecord {
  std::optional<std::string> fileId;      // "file_id"
  std::optional<std::string> version;     // "rev"
  std::optional<std::string> createTime;  // "create_time", as sent
};

// The versions in the order the service lists them; empty when it lists none.
struct NBFileHistoryList : NBRecord {
  std::vector<std::shared_ptr<NBFileHistoryInfo>> versions;
};

class NBGetFileHistoryOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<API host>/1/history/<root>/<path> with "root", "path". Root and
  // path go into the URL unchanged, so both are required and must consist of
  // URL path characters; anything else is refused before any request.
  Result<NBServiceRequest> serviceRequest() const override;
  // Success: an NBFileHistoryList. A reply that is not a JSON object, or a
  // "files" element that is not an object, fails.
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;

  // Null when an element of "files" is not an object.
  static std::shared_ptr<NBFileHistoryList> presaFileHistoryInfo(const JsonValue& object);
};

}  // namespace nb
