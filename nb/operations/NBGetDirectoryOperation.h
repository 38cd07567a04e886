// NBGetDirectoryOperation fetches the metadata of one entry and, for a folder, a
// page of its children, optionally filtered by extension and sorted. It takes an
// NBGetDirectoryOperationItem and hands the delegate an NBDirectoryInfo.
// Same threading as NBOperation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nb/Private/NBRecord.h"
#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"

namespace nb {

struct NBGetDirectoryOperationItem : NBFolderOperationItem {
  bool isList = true;                    // list a folder's children
  std::int32_t fileLimit = 10000;        // bound on the entries; 10000 sends no "file_limit"
  std::int32_t pageIndex = 0;            // page requested
  std::int32_t pageSize = 20;            // entries per page
  std::optional<std::string> filterExt;  // extension filter, sent lower-cased
  std::int32_t sortType = 0;             // 0 none, 2 name, 3 size, any other value time
  bool isDescSort = false;               // descending; no effect while sortType is 0
};

// One entry of the storage.
struct NBFileInfo : NBRecord {
  std::optional<std::string> fileID;      // "file_id"
  std::optional<std::string> name;        // "name"
  std::optional<std::string> version;     // "rev"
  std::optional<std::string> createTime;  // "create_time", as sent
  std::optional<std::string> modifyTime;  // "modify_time", as sent
  std::int32_t type = 1;                  // "type": 0 for "file", 1 otherwise (a folder)
  // "size" in bytes. 64 bits wide so that files of 2 GiB and more are
  // carried exactly; negative or non-numeric sizes read as 0.
  std::uint64_t size = 0;
  bool isDeleted = false;  // "is_deleted"
};

// A listing: the entry itself and, for a folder, the page of its children.
struct NBDirectoryInfo : NBRecord {
  std::optional<std::string> root;       // "root"
  std::optional<std::string> path;       // "path"
  std::optional<std::string> hash;       // "hash"
  std::shared_ptr<NBFileInfo> fileInfo;  // the reply object read as one entry
  // The "files" array in the order received; absent when missing or empty.
  std::optional<std::vector<std::shared_ptr<NBFileInfo>>> files;
};

class NBGetDirectoryOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<API host>/1/metadata/<root>[/<encoded path>] with the
  // parameters of getParameters(). The root goes into the URL unchanged, so a
  // missing root, or one that cannot stand in a URL, is refused; the path is
  // percent-encoded as one segment, slashes included.
  Result<NBServiceRequest> serviceRequest() const override;
  // Success: an NBDirectoryInfo. A reply that is not a JSON object, or a
  // "files" element that is not an object, fails.
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;

  // "list", ["file_limit"], "page", "page_size", ["filter_ext"], ["sort_by"].
  static std::vector<NBServiceRequest::Parameter> getParameters(
      const NBGetDirectoryOperationItem& item);
  static std::shared_ptr<NBFileInfo> parseFileInfo(const JsonValue& object);
  // Null when an element of "files" is not an object.
  static std::shared_ptr<NBDirectoryInfo> parseDirectoryInfo(const JsonValue& object);
};

}  // namespace nb
