#include "nb/operations/NBUploadFileOperation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/internal/MultipartFormBody.h"
#include "nb/Private/internal/NBReplySink.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {
namespace {

// The size of the regular, readable file at `path`, or why it cannot be sent.
Result<std::int64_t> readableFileSize(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || ::access(path.c_str(), R_OK) != 0) {
    const int code = errno;
    const std::string message =
        "cannot read the file to upload " + path + ": " + std::strerror(code);
    if (code == ENOENT) return Status::notFound(message);
    if (code == EACCES) return Status::permissionDenied(message);
    return Status::ioError(message);
  }
  if (!S_ISREG(info.st_mode)) {
    return Status::invalidArgument("the file to upload is not a regular file: " + path);
  }
  return static_cast<std::int64_t>(info.st_size);
}

// The size of the file `item` sends, or why it cannot be sent: the one check
// of an upload's item.
Result<std::int64_t> checkedFileSize(const NBUploadFileOperationItem* item) {
  if (item == nullptr)
    return Status::invalidArgument("an upload needs an NBUploadFileOperationItem");
  if (!item->fileName) return Status::invalidArgument("an upload needs a file name");
  if (!MultipartFormBody::isSafeFileName(*item->fileName)) {
    return Status::invalidArgument("a file name with a double quote, CR or LF cannot be uploaded");
  }
  if (!item->filePath) return static_cast<std::int64_t>(item->fileData.size());
  if (!item->fileData.empty()) {
    return Status::invalidArgument("an upload takes fileData or filePath, not both");
  }
  return readableFileSize(*item->filePath);
}

// The upload node as the post reaches it: over HTTPS when file calls are
// secure, whatever scheme the service named.
std::string uploadNodeURL(std::string_view named) {
  constexpr std::string_view kPlain = "http://";
  if (NBAPIInfo::secureFileCalls() && named.substr(0, kPlain.size()) == kPlain) {
    return "https://" + std::string(named.substr(kPlain.size()));
  }
  return std::string(named);
}

}  // namespace

Result<NBServiceRequest> NBUploadFileOperation::serviceRequest() const {
  Result<std::int64_t> size = checkedFileSize(itemAs<NBUploadFileOperationItem>());
  if (!size.ok()) return size.status();
  return NBServiceRequest{NBAPIInfo::fileCallScheme() + NBHosts::contentHost() +
                          "/1/fileops/upload_locate"};
}

Result<URLRequest> NBUploadFileOperation::uploadRequest(const std::string& signedURL,
                                                        const NBUploadFileOperationItem& item) {
  return uploadRequest(signedURL, std::make_shared<const NBUploadFileOperationItem>(item));
}

Result<URLRequest> NBUploadFileOperation::uploadRequest(
    const std::string& signedURL, std::shared_ptr<const NBUploadFileOperationItem> item) {
  Result<std::int64_t> size = checkedFileSize(item.get());
  if (!size.ok()) return size.status();
  const std::string& fileName = *item->fileName;
  URLRequest request = URLRequest::requestWithURL(signedURL);
  request.setHTTPMethod("POST");
  URLRequestBodyPart file;
  if (item->filePath) {
    file = URLRequestBodyPart::file(*item->filePath, *size);
    file.observer = item->fileObserver;
  } else {
    // The bytes stay in the item; the part shares ownership of it.
    file =
        URLRequestBodyPart::sharedBytes(std::shared_ptr<const std::string>(item, &item->fileData));
  }
  request.setHTTPBodyParts({URLRequestBodyPart::bytes(MultipartFormBody::partHeader(fileName)),
                            std::move(file),
                            URLRequestBodyPart::bytes(MultipartFormBody::closingLine())});
  // The file was measured once, above: the declared length and the bytes the
  // transport sends both come from that size.
  request.addValue("2", "v");
  request.addValue("vanta", "User-Agent");
  request.addValue(MultipartFormBody::contentType(), "content-type");
  request.addValue(std::to_string(request.HTTPBodyLength()), "content-length");
  request.setCachePolicy(URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  request.setTimeoutInterval(60);
  return request;
}

Result<NBServiceRequest> NBUploadFileOperation::postRequest(const std::string& nodeURL) const {
  const auto* item = itemAs<NBUploadFileOperationItem>();
  // The request shares the item rather than copying its fileData.
  Result<URLRequest> transport =
      uploadRequest("", std::shared_ptr<const NBUploadFileOperationItem>(_oprationItem, item));
  if (!transport.ok()) return transport.status();
  const std::optional<std::string> overwrite = item->isOverwrite ? "True" : "False";
  NBServiceRequest plan(
      uploadNodeURL(nodeURL) + "/1/fileops/upload_file",
      NBServiceRequest::collectParameters(
          {{"root", &item->root}, {"path", &item->path}, {"overwrite", &overwrite}}));
  plan.httpMethod = "POST";
  plan.transport = std::move(*transport);
  return plan;
}

std::unique_ptr<NBReplySink> NBUploadFileOperation::replySink() {
  constexpr std::uint64_t kNodeReplyLimit = 64 * 1024;
  return _posting ? NBNetworkOperation::replySink() : NBReplySink::memory(kNodeReplyLimit);
}

void NBUploadFileOperation::executeUploadFileOperation(const std::string& nodeURL) {
  _posting = true;
  sendRequest(postRequest(nodeURL));
}

Result<NBResult> NBUploadFileOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  if (!NBReply::json(body).ok()) {
    return Status::corruption("the upload service's reply is not JSON");
  }
  return NBResult::text(*body);
}

Result<NBNetworkOperation::Step> NBUploadFileOperation::readReply(
    const std::optional<std::string>& body) {
  if (!_posting) {
    Result<JsonValue> reply = NBReply::json(body);
    const JsonValue* url = reply.ok() && reply->isObject() ? reply->find("url") : nullptr;
    if (url == nullptr) {
      return Status::corruption("the upload service's reply names no upload node");
    }
    if (!url->isString()) {
      return Status::corruption("the upload service's reply names no usable upload node");
    }
    _posting = true;
    return nextStep(postRequest(std::string(url->stringValue())));
  }
  return NBFileServiceOperation::readReply(body);
}

void NBUploadFileOperation::connectionDidSendBodyData(URLConnection*, std::int64_t,
                                                      std::int64_t totalBytesWritten,
                                                      std::int64_t totalBytesExpectedToWrite) {
  reportProgress(totalBytesWritten, totalBytesExpectedToWrite);
}

}  // namespace nb
