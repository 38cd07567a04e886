// NBDownloadFileOperation fetches one stored file (an NBFolderOperationItem:
// root and path) and streams it to <home>/tmp/<root>/<path> as it arrives, with
// progress. Success hands the delegate that path as text. Each transfer writes
// a temporary file of its own beside that path and renames it onto the path
// when complete, so the file at the path is always a complete copy: two
// downloads of one file may run at once, and a transfer that fails, is refused
// or is cancelled leaves an earlier file untouched. The file belongs to the
// application and is only replaced by a later download to the same path.
//
// Without an access token nothing is sent, reported or touched on disk. An item
// without root or path, or whose names would lead out of <home>/tmp (a ".."
// component), is refused with operationFail before any request.
// Used from the thread whose run loop runs the request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"

namespace nb {

class NBDownloadFileOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<content host>/1/fileops/download_file with "root", "path".
  Result<NBServiceRequest> serviceRequest() const override;
  // The path of the finished file (the body itself went to that file).
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;

  // The home directory followed by "/tmp/<root>/<path>", both inserted
  // unchanged (a path starting with "/" gives a double slash, which the file
  // system ignores).
  static std::string temporaryFilePath(std::string_view root, std::string_view path);

 protected:
  // Sets _tempFilePath for the item (empty when it cannot name a file).
  void internalInit();
  // Where this item's download goes; nothing when the item cannot name a file.
  virtual std::optional<std::string> itemFilePath() const;
  // Why the item cannot name a file under <home>/tmp; ok when it can.
  Status checkFolderItem(const NBFolderOperationItem* item) const;

  // Prepares the call (internalInit) once a token is known to be stored.
  void willStartRequest() override { internalInit(); }
  NBStatusTable statusTable() const override { return NBStatusTable::kDownload; }
  // The body streams to a temporary file renamed onto _tempFilePath at the end.
  std::unique_ptr<NBReplySink> replySink() override;
  bool reportsReceiveProgress() const override { return true; }

  std::string _tempFilePath;  // where the current call's file goes
};

}  // namespace nb
