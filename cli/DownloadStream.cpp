#include "cli/DownloadStream.h"

#include <memory>
#include <optional>

#include "cli/FailureText.h"
#include "cli/LocalFiles.h"
#include "cli/ProgressBar.h"
#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/ParseError.h"
#include "nb/operations/NBDownloadFileOperation.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/URLConnection.h"

namespace nb::cli {
namespace {

constexpr std::chrono::milliseconds kSlice{200};
constexpr std::size_t kMaxErrorBody = 64 * 1024;

class Sink : public URLConnectionDelegate {
 public:
  Sink(int fd, std::string what, ProgressBar* progress)
      : fd_(fd), what_(std::move(what)), progress_(progress) {}

  void connectionDidReceiveResponse(URLConnection*, const URLResponse& response) override {
    lastActivity = std::chrono::steady_clock::now();
    httpStatus_ = response.statusCode();
    expected_ = response.expectedContentLength();
    errorBody_.clear();
    // A further response starts the body again: only possible before any byte
    // was written, since redirects carry no body we keep.
  }
  void connectionDidReceiveData(URLConnection* connection, std::string_view chunk) override {
    lastActivity = std::chrono::steady_clock::now();
    if (httpStatus_ != 200) {
      if (errorBody_.size() < kMaxErrorBody) errorBody_.append(chunk);
      return;
    }
    if (Status status = LocalFiles::writeAll(fd_, chunk, what_); !status.ok()) {
      finish(std::move(status));
      connection->cancel();
      return;
    }
    received += chunk.size();
    if (progress_) progress_->update(static_cast<std::int64_t>(received), expected_);
  }
  void connectionDidFailWithError(URLConnection*, const NBError& error) override {
    finish(FailureText::fromOperationMessage(error.description.empty() ? "The request failed."
                                                                       : error.description));
  }
  void connectionDidFinishLoading(URLConnection*) override {
    if (httpStatus_ != 200) return finish(refusal());
    if (expected_ >= 0 && received != static_cast<std::uint64_t>(expected_)) {
      return finish(Status::network("the transfer ended after " + std::to_string(received) +
                                    " of " + std::to_string(expected_) + " bytes"));
    }
    finish(Status::OK());
  }

  bool done = false;
  Status outcome;
  std::uint64_t received = 0;
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();

 private:
  void finish(Status status) {
    if (done) return;
    outcome = std::move(status);
    done = true;
  }
  // The service's keyword from the body when it sent one, else the text the
  // library gives the download's status.
  Status refusal() const {
    if (auto reply = NBJsonUtility::jsonValueFromString(errorBody_)) {
      if (reply->isObject()) {
        if (const JsonValue* msg = reply->find("msg"); msg && msg->isString()) {
          return FailureText::fromOperationMessage(
              ParseError::transformMessage(msg->stringValue()));
        }
      }
    }
    return FailureText::fromOperationMessage(
        ParseError::getDownloadFileErrorMessage(std::to_string(httpStatus_)));
  }

  int fd_;
  std::string what_;
  ProgressBar* progress_;
  int httpStatus_ = 0;
  std::int64_t expected_ = -1;
  std::string errorBody_;
};

}  // namespace

Status DownloadStream::run(const std::string& root, const std::string& path, int fd,
                           const std::string& what, ProgressBar* progress,
                           std::chrono::seconds idleLimit, std::uint64_t* received) {
  auto item = std::make_shared<NBFolderOperationItem>();
  item->root = root;
  item->path = path;
  // The library's own download request (never executed here): URL and parameters.
  const auto definition = std::make_shared<NBDownloadFileOperation>(nullptr, item);
  const auto request = definition->serviceRequest();
  if (const auto* failure = std::get_if<NBFailure>(&request)) {
    return Status::invalidArgument(failure->message);
  }
  NBAPIInfo& info = NBAPIInfo::instance();
  const auto token = info.token();
  const auto consumer = info.consumer();
  if (!token || !token->token || !consumer || !consumer->key) {
    return Status::unauthenticated("not signed in: run `nb login USER` first");
  }
  URLRequest urlRequest = URLRequest::requestWithURL(
      std::get<NBServiceRequest>(request).signedURLString("GET", *consumer, token.get()));
  urlRequest.setTimeoutInterval(static_cast<double>(idleLimit.count()));

  auto sink = std::make_shared<Sink>(fd, what, progress);
  auto connection = URLConnection::connectionWithRequest(std::move(urlRequest), sink);
  RunLoop& loop = RunLoop::main();
  while (!sink->done) {
    if (loop.runUntil([&] { return sink->done; }, kSlice)) break;
    if (std::chrono::steady_clock::now() - sink->lastActivity > idleLimit) {
      connection->cancel();
      sink->outcome = Status::timeout("no answer from the service within " +
                                      std::to_string(idleLimit.count()) + " s");
      break;
    }
  }
  if (progress) progress->finish();
  if (received) *received = sink->received;
  return sink->outcome;
}

}  // namespace nb::cli
