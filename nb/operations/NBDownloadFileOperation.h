// NBDownloadFileOperation fetches one stored file (an NBFolderOperationItem:
// root and path) and streams it to <home>/tmp/<root>/<path> as it arrives, with
// progress. Success hands the delegate that path as text; a file found at the
// path after any outcome is a complete copy: a transfer that fails, is refused
// or is cancelled removes what it wrote. The file belongs to the application and
// is only replaced by a later download to the same path.
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
#include "nb/platform/FileOutputStream.h"

namespace nb {

class NBDownloadFileOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // Also removes the partial file of a transfer that was under way.
  void cancelOperation() override;

  // GET http://<content host>/1/fileops/download_file with "root", "path".
  std::variant<NBServiceRequest, NBFailure> serviceRequest() const override;
  // Not used: the body goes to the file, and handleSuccessData reports the path.
  std::variant<NBResult, NBFailure> resultFromReply(
      const std::optional<std::string>& body) const override;

  // The home directory followed by "/tmp/<root>/<path>", both inserted
  // unchanged (a path starting with "/" gives a double slash, which the file
  // system ignores).
  static std::string temporaryFilePath(std::string_view root, std::string_view path);

 protected:
  // Resets the counters, closes a stream left from an earlier transfer, sets
  // _tempFilePath for the item and removes any file already there.
  void internalInit();
  // Where this item's download goes; nothing when the item cannot name a file.
  virtual std::optional<std::string> itemFilePath() const;
  // The reason the item cannot name a file under <home>/tmp, or nothing.
  std::optional<NBFailure> checkFolderItem(const NBFolderOperationItem* item) const;

  // Prepares the file of this call (internalInit) once a token is known to be
  // stored, so that a call without one leaves an earlier file in place.
  void willStartRequest() override { internalInit(); }
  bool handleErrorCode(const std::string& status) override;
  // The body goes to the file, of any size.
  bool keepsReplyInMemory() const override { return false; }
  void handleSuccessData(const std::optional<std::string>& data) override;
  void connectionDidReceiveResponse(URLConnection* connection,
                                    const URLResponse& response) override;
  void connectionDidReceiveData(URLConnection* connection, std::string_view chunk) override;
  void connectionDidFailWithError(URLConnection* connection, const NBError& error) override;

  std::int64_t _totalBytes = 0;                     // expected body length; -1 when undeclared
  std::int64_t _downloadBytes = 0;                  // bytes written so far
  std::string _tempFilePath;                        // empty when no transfer is prepared
  std::unique_ptr<FileOutputStream> _outputStream;  // open from the first chunk on

 private:
  // Closes the stream and removes the file it wrote: the transfer did not complete.
  void discardPartialFile();
  // Ends the transfer with `message`, leaving no file behind.
  void failTransfer(const std::string& message);
};

}  // namespace nb
