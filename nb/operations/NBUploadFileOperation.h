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

#include "nb/operations/NBFileServiceOperation.h"
#include "nb/operations/NBFolderOperationItem.h"
#include "nb/platform/URLRequest.h"

namespace nb {

struct NBUploadFileOperationItem : NBFolderOperationItem {
  bool isOverwrite = false;             // sent as "overwrite" = "True" / "False"
  std::optional<std::string> fileName;  // written into the part header only; no '"', CR or LF
  std::string fileData;                 // the file's bytes, when filePath is absent
  std::optional<std::string> filePath;  // a file on disk to send instead of fileData
  // Sees filePath's bytes as they are sent (see URLRequestBodyPart::observer).
  std::shared_ptr<const std::function<void(std::int64_t, std::string_view)>> fileObserver;
};

class NBUploadFileOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // Second request: posts the file to "<nodeURL>/1/fileops/upload_file" (the
  // node URL as it came from the service, over HTTPS when file calls are
  // secure), with "root", "path", "overwrite" in the signed query.
  void executeUploadFileOperation(const std::string& nodeURL);
  // First request: GET http://<content host>/1/fileops/upload_locate (https
  // when file calls are secure), after the item has been checked.
  Result<NBServiceRequest> serviceRequest() const override;
  // The final reply's text, when it is JSON.
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;
  // The POST of `item`'s file to `signedURL`: headers "v", "User-Agent",
  // "content-type", "content-length" in that order, no local cache, a 60 s
  // time-out and the multipart body: the part header, the file (the item's
  // fileData, shared with the item, or streamed from filePath) and the
  // closing line. The request keeps the item alive.
  static Result<URLRequest> uploadRequest(const std::string& signedURL,
                                          std::shared_ptr<const NBUploadFileOperationItem> item);
  // The same for a copy of `item` that the request owns.
  static Result<URLRequest> uploadRequest(const std::string& signedURL,
                                          const NBUploadFileOperationItem& item);

 protected:
  void willStartRequest() override { _posting = false; }
  // The first reply only names the upload node: a small bound keeps a reply
  // that runs on from filling memory.
  std::unique_ptr<NBReplySink> replySink() override;
  NBStatusTable statusTable() const override { return NBStatusTable::kUpload; }
  // The first reply names the upload node ("url"): the post is the next step.
  // The post's reply is the outcome.
  Result<Step> readReply(const std::optional<std::string>& body) override;
  void connectionDidSendBodyData(URLConnection* connection, std::int64_t bytesWritten,
                                 std::int64_t totalBytesWritten,
                                 std::int64_t totalBytesExpectedToWrite) override;

  bool _posting = false;  // the post (second phase) is the request in flight

 private:
  // The plan of the post to `nodeURL`, or why the item cannot be sent.
  Result<NBServiceRequest> postRequest(const std::string& nodeURL) const;
};

}  // namespace nb
