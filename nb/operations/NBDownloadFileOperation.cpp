#include "nb/operations/NBDownloadFileOperation.h"

#include "nb/Private/FileHelper.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/ParseError.h"
#include "nb/platform/DataHome.h"
#include "nb/platform/URLConnection.h"

namespace nb {
namespace {

// True when `name` has a ".." component, which would lead out of the folder
// it is joined to.
bool climbsOut(std::string_view name) {
  for (std::size_t start = 0; start <= name.size();) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::string NBDownloadFileOperation::temporaryFilePath(std::string_view root,
                                                       std::string_view path) {
  std::string result = DataHome::homeDirectory();
  result.append("/tmp/").append(root).append("/").append(path);
  return result;
}

std::optional<NBFailure> NBDownloadFileOperation::checkFolderItem(
    const NBFolderOperationItem* item) const {
  if (item == nullptr) return NBFailure{"a download needs an NBFolderOperationItem"};
  if (!item->root || !item->path) return NBFailure{"the item needs both root and path"};
  if (item->root->empty() || item->path->empty()) {
    return NBFailure{"the item needs a non-empty root and path"};
  }
  if (climbsOut(*item->root) || climbsOut(*item->path)) {
    return NBFailure{"a root or path with a \"..\" component is refused"};
  }
  if (item->root->find('\0') != std::string::npos || item->path->find('\0') != std::string::npos) {
    return NBFailure{"a root or path with a NUL character is refused"};
  }
  return std::nullopt;
}

std::optional<std::string> NBDownloadFileOperation::itemFilePath() const {
  const auto* item = itemAs<NBFolderOperationItem>();
  if (checkFolderItem(item)) return std::nullopt;
  return temporaryFilePath(*item->root, *item->path);
}

std::variant<NBServiceRequest, NBFailure> NBDownloadFileOperation::serviceRequest() const {
  const auto* item = itemAs<NBFolderOperationItem>();
  if (auto failure = checkFolderItem(item)) return *failure;
  return NBServiceRequest{
      "http://" + NBHosts::contentHost() + "/1/fileops/download_file",
      NBServiceRequest::collectParameters({{"root", &item->root}, {"path", &item->path}})};
}

std::variant<NBResult, NBFailure> NBDownloadFileOperation::resultFromReply(
    const std::optional<std::string>&) const {
  return NBResult::text(_tempFilePath);
}

void NBDownloadFileOperation::internalInit() {
  _totalBytes = 0;
  _downloadBytes = 0;
  if (_outputStream) _outputStream->close();
  _outputStream.reset();
  _tempFilePath = itemFilePath().value_or("");
  if (!_tempFilePath.empty()) FileHelper::deleteFile(_tempFilePath);
}

void NBDownloadFileOperation::cancelOperation() {
  if (_connection) discardPartialFile();
  NBFileServiceOperation::cancelOperation();
}

void NBDownloadFileOperation::discardPartialFile() {
  if (_outputStream) {
    _outputStream->close();
    _outputStream.reset();
  }
  if (!_tempFilePath.empty()) FileHelper::deleteFile(_tempFilePath);
}

void NBDownloadFileOperation::failTransfer(const std::string& message) {
  discardPartialFile();
  _tempFilePath.clear();
  NBFileServiceOperation::cancelOperation();  // no further callbacks
  reportFail(message);
}

bool NBDownloadFileOperation::handleErrorCode(const std::string& status) {
  if (status == "200") return false;
  discardPartialFile();
  reportFail(ParseError::getDownloadFileErrorMessage(status));
  return true;
}

void NBDownloadFileOperation::connectionDidReceiveResponse(URLConnection* connection,
                                                           const URLResponse& response) {
  NBFileServiceOperation::connectionDidReceiveResponse(connection, response);
  if (!_receiveData) return;  // status refused and reported
  // A further response starts the body again, in a fresh file.
  if (_outputStream) discardPartialFile();
  _downloadBytes = 0;
  _totalBytes = response.expectedContentLength();
}

void NBDownloadFileOperation::connectionDidReceiveData(URLConnection*, std::string_view chunk) {
  if (!_receiveData) return;  // the body of a refused status is dropped
  if (!_outputStream) {
    _outputStream = FileHelper::outputStreamToFile(_tempFilePath, true);
    if (!_outputStream->open()) {
      failTransfer("cannot save the download: " + _outputStream->streamError());
      return;
    }
  }
  if (!_outputStream->write(chunk)) {
    failTransfer("cannot save the download: " + _outputStream->streamError());
    return;
  }
  _downloadBytes += static_cast<std::int64_t>(chunk.size());
  reportProgress(_downloadBytes, _totalBytes);
}

void NBDownloadFileOperation::connectionDidFailWithError(URLConnection* connection,
                                                         const NBError& error) {
  discardPartialFile();
  _tempFilePath.clear();
  NBFileServiceOperation::connectionDidFailWithError(connection, error);
}

void NBDownloadFileOperation::handleSuccessData(const std::optional<std::string>& data) {
  const std::string path = std::move(_tempFilePath);
  _tempFilePath.clear();
  if (!data || path.empty()) return;  // a refused status, already reported
  std::optional<std::string> failure;
  if (!_outputStream) {
    // An empty body: the file is empty, but it exists like any other download.
    if (!FileHelper::createFile(path)) failure = "cannot save the download: cannot create " + path;
  } else if (!_outputStream->isStillAtPath(_downloadBytes)) {
    failure = "cannot save the download: " + path + " was removed or changed while it was written";
  } else if (!_outputStream->close()) {
    failure = "cannot save the download: " + _outputStream->streamError();
  }
  _outputStream.reset();
  if (failure) {
    FileHelper::deleteFile(path);
    reportFail(*failure);
    return;
  }
  reportSuccess(NBResult::text(path));
}

}  // namespace nb
