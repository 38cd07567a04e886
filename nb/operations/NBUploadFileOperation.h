// NBUploadFileOperation stores one file at a path of the user's storage in two
// requests on one object: it asks the content service for an upload node, then
// posts the file to that node as a multipart form, with byte progress. Success
// hands the delegate the text of the node's final reply.
//
// The file is either the item's fileData (held in memory and sent from the item
// itself, never copied: leave it unchanged until the outcome) or, when filePath
// is set, a file on disk that is streamed while sending, in constant memory;
// the bytes on the wire are the same. Every call ends in exactly one outcome, except
// without an access token, where nothing is sent or reported. Items that cannot
// be sent (no or unsafe file name, unreadable file) are refused with
// operationFail before any request.
// Used from the thread whose run loop runs the requests.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"
#include "nb/platform/URLRequest.h"

namespace nb {

struct NBUploadFileOperationItem : NBFolderOperationItem {
  bool isOverwrite = false;             // sent as "overwrite" = "True" / "False"
  std::optional<std::string> fileName;  // written into the part header only; no '"', CR or LF
  std::string fileData;                 // the file's bytes, when filePath is absent
  std::optional<std::string> filePath;  // a file on disk to send instead of fileData
};

class NBUploadFileOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // Second request: posts the file to "<nodeURL>/1/fileops/upload_file" (the
  // node URL as it came from the service), with "root", "path", "overwrite"
  // in the signed query.
  void executeUploadFileOperation(const std::string& nodeURL);

  // First request: GET http://<content host>/1/fileops/upload_locate, after the
  // item has been checked.
  std::variant<NBServiceRequest, NBFailure> serviceRequest() const override;
  // The final reply's text, when it is JSON.
  std::variant<NBResult, NBFailure> resultFromReply(
      const std::optional<std::string>& body) const override;

  // The POST of `item`'s file to `signedURL`: headers "v", "User-Agent",
  // "content-type", "content-length" in that order, no local cache, a 60 s
  // time-out and the multipart body: the part header, the file (the item's
  // fileData, shared with the item, or streamed from filePath) and the
  // closing line. The request keeps the item alive.
  static std::variant<URLRequest, NBFailure> uploadRequest(
      const std::string& signedURL, std::shared_ptr<const NBUploadFileOperationItem> item);
  // The same for a copy of `item` that the request owns.
  static std::variant<URLRequest, NBFailure> uploadRequest(const std::string& signedURL,
                                                           const NBUploadFileOperationItem& item);

 protected:
  bool handleErrorCode(const std::string& status) override;
  // Starts the post when the reply names a node ("url"), else ends the call.
  void handleSuccessData(const std::optional<std::string>& data) override;
  void connectionDidSendBodyData(URLConnection* connection, std::int64_t bytesWritten,
                                 std::int64_t totalBytesWritten,
                                 std::int64_t totalBytesExpectedToWrite) override;
};

}  // namespace nb
