#include "nb/operations/NBUploadFileOperation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "nb/Private/internal/MultipartFormBody.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/ParseError.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {
namespace {

// The size of the regular, readable file at `path`, or why it cannot be sent.
std::variant<std::int64_t, NBFailure> readableFileSize(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || ::access(path.c_str(), R_OK) != 0) {
    return NBFailure{"cannot read the file to upload " + path + ": " + std::strerror(errno)};
  }
  if (!S_ISREG(info.st_mode)) return NBFailure{"the file to upload is not a regular file: " + path};
  return static_cast<std::int64_t>(info.st_size);
}

// The size of the file `item` sends, or why it cannot be sent.
std::variant<std::int64_t, NBFailure> checkedFileSize(const NBUploadFileOperationItem* item) {
  if (item == nullptr) return NBFailure{"an upload needs an NBUploadFileOperationItem"};
  if (!item->fileName) return NBFailure{"an upload needs a file name"};
  if (!MultipartFormBody::isSafeFileName(*item->fileName)) {
    return NBFailure{"a file name with a double quote, CR or LF cannot be uploaded"};
  }
  if (!item->filePath) return static_cast<std::int64_t>(item->fileData.size());
  if (!item->fileData.empty()) return NBFailure{"an upload takes fileData or filePath, not both"};
  return readableFileSize(*item->filePath);
}

// Why `item` cannot be sent, or nothing.
std::optional<NBFailure> checkItem(const NBUploadFileOperationItem* item) {
  auto size = checkedFileSize(item);
  if (auto* failure = std::get_if<NBFailure>(&size)) return *failure;
  return std::nullopt;
}

}  // namespace

std::variant<NBServiceRequest, NBFailure> NBUploadFileOperation::serviceRequest() const {
  if (auto failure = checkItem(itemAs<NBUploadFileOperationItem>())) return *failure;
  return NBServiceRequest{"http://" + NBHosts::contentHost() + "/1/fileops/upload_locate", {}};
}

std::variant<URLRequest, NBFailure> NBUploadFileOperation::uploadRequest(
    const std::string& signedURL, const NBUploadFileOperationItem& item) {
  return uploadRequest(signedURL, std::make_shared<const NBUploadFileOperationItem>(item));
}

std::variant<URLRequest, NBFailure> NBUploadFileOperation::uploadRequest(
    const std::string& signedURL, std::shared_ptr<const NBUploadFileOperationItem> item) {
  auto size = checkedFileSize(item.get());
  if (auto* failure = std::get_if<NBFailure>(&size)) return *failure;
  const std::int64_t fileSize = std::get<std::int64_t>(size);
  const std::string& fileName = *item->fileName;
  URLRequest request = URLRequest::requestWithURL(signedURL);
  request.setHTTPMethod("POST");
  URLRequestBodyPart file;
  if (item->filePath) {
    file = URLRequestBodyPart::file(*item->filePath);
  } else {
    // The bytes stay in the item; the part shares ownership of it.
    file =
        URLRequestBodyPart::sharedBytes(std::shared_ptr<const std::string>(item, &item->fileData));
  }
  request.setHTTPBodyParts({URLRequestBodyPart::bytes(MultipartFormBody::partHeader(fileName)),
                            std::move(file),
                            URLRequestBodyPart::bytes(MultipartFormBody::closingLine())});
  const std::int64_t length = MultipartFormBody::bodyLength(fileName, fileSize);
  request.addValue("2", "v");
  request.addValue("vanta", "User-Agent");
  request.addValue(MultipartFormBody::contentType(), "content-type");
  request.addValue(std::to_string(length), "content-length");
  request.setCachePolicy(URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  request.setTimeoutInterval(60);
  return request;
}

void NBUploadFileOperation::executeUploadFileOperation(const std::string& nodeURL) {
  const auto* item = itemAs<NBUploadFileOperationItem>();
  if (auto failure = checkItem(item)) {
    reportFail(failure->message);
    return;
  }
  const std::optional<std::string> overwrite = item->isOverwrite ? "True" : "False";
  const NBServiceRequest post{
      nodeURL + "/1/fileops/upload_file",
      NBServiceRequest::collectParameters(
          {{"root", &item->root}, {"path", &item->path}, {"overwrite", &overwrite}})};
  auto url = signedURLString(post, "POST");
  if (std::holds_alternative<std::monostate>(url)) {
    reportFail("no access token is stored any more; sign in again");
    return;
  }
  if (auto* failure = std::get_if<NBFailure>(&url)) {
    reportFail(failure->message);
    return;
  }
  // The request shares the item rather than copying its fileData.
  auto request =
      uploadRequest(std::get<std::string>(url),
                    std::shared_ptr<const NBUploadFileOperationItem>(_oprationItem, item));
  if (auto* failure = std::get_if<NBFailure>(&request)) {
    reportFail(failure->message);
    return;
  }
  startConnection(std::move(std::get<URLRequest>(request)));
}

bool NBUploadFileOperation::handleErrorCode(const std::string& status) {
  if (status == "200") return false;
  reportFail(ParseError::getUploadFileErrorMessage(status));
  return true;
}

std::variant<NBResult, NBFailure> NBUploadFileOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  if (std::holds_alternative<NBFailure>(NBReply::json(body))) {
    return NBFailure{"the upload service's reply is not JSON"};
  }
  return NBResult::text(*body);
}

void NBUploadFileOperation::handleSuccessData(const std::optional<std::string>& data) {
  if (!data) return;  // the end of a refused status, already reported
  auto reply = NBReply::json(data);
  if (const auto* value = std::get_if<JsonValue>(&reply); value && value->isObject()) {
    if (const JsonValue* url = value->find("url")) {
      if (!url->isString()) {
        reportFail("the upload service's reply names no usable upload node");
        return;
      }
      executeUploadFileOperation(std::string(url->stringValue()));
      return;
    }
  }
  NBFileServiceOperation::handleSuccessData(data);
}

void NBUploadFileOperation::connectionDidSendBodyData(URLConnection*, std::int64_t,
                                                      std::int64_t totalBytesWritten,
                                                      std::int64_t totalBytesExpectedToWrite) {
  reportProgress(totalBytesWritten, totalBytesExpectedToWrite);
}

}  // namespace nb
