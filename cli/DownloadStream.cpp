#include "cli/DownloadStream.h"

#include <fcntl.h>

#include <optional>

#include "cli/FailureText.h"
#include "cli/LocalFiles.h"
#include "cli/ProgressBar.h"
#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "nb/Private/ParseError.h"
#include "nb/operations/NBDownloadFileOperation.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/URLConnection.h"

namespace nb::cli {
namespace {

constexpr std::size_t kMaxErrorBody = 64 * 1024;
// How many bytes a regular file takes before the system is asked to start
// writing them to disk (without waiting), so that the flush at the end finds
// little left to write instead of the whole download.
constexpr std::uint64_t kWritebackStep = std::uint64_t{8} << 20;

class Sink : public URLConnectionDelegate {
 public:
  Sink(DownloadStream::Open open, std::string what, DownloadStream::Bound bound,
       DownloadStream::Progress progress, DownloadStream::Done done, DownloadStream::Bytes bytes)
      : open_(std::move(open)),
        what_(std::move(what)),
        bound_(bound),
        progress_(std::move(progress)),
        done_(std::move(done)),
        bytes_(std::move(bytes)) {}

  void connectionDidReceiveResponse(URLConnection* connection,
                                    const URLResponse& response) override {
    httpStatus_ = response.statusCode();
    expected_ = response.expectedContentLength();
    errorBody_.clear();
    // The most bytes the file may have: what the reply announces, else what
    // the listing said. A reply that names neither could run on forever.
    limit_ = expected_ >= 0 ? std::optional<std::uint64_t>(expected_) : bound_.listedSize;
    if (httpStatus_ == 200 && !limit_ && bound_.requireLength) {
      lengthUnknown_ = true;
      connection->cancel();
      finish(Status::corruption("the service announced no length for " + what_));
    }
  }
  void connectionDidReceiveData(URLConnection* connection, std::string_view chunk) override {
    if (httpStatus_ != 200) {
      if (errorBody_.size() < kMaxErrorBody) errorBody_.append(chunk);
      return;
    }
    if (limit_ && received_ + chunk.size() > *limit_) {
      connection->cancel();
      finish(Status::corruption("the service sent more than the " + std::to_string(*limit_) +
                                " bytes " +
                                (expected_ >= 0 ? "it announced" : "the file is listed with")));
      return;
    }
    if (Status status = opened(); !status.ok()) {
      connection->cancel();
      finish(std::move(status));
      return;
    }
    if (Status status = LocalFiles::writeAll(fd_, chunk, what_); !status.ok()) {
      connection->cancel();
      finish(std::move(status));
      return;
    }
    if (bytes_) bytes_(chunk);
    received_ += chunk.size();
    if (writeback_ && received_ - writebackFrom_ >= kWritebackStep) startWriteback();
    if (progress_) progress_(received_, expected_);
  }
  void connectionDidFailWithError(URLConnection*, const NBError& error) override {
    const std::string text = error.description.empty() ? "The request failed." : error.description;
    finish(error.code == kURLConnectionErrorTimedOut ? Status::timeout(text)
                                                     : FailureText::fromOperationMessage(text));
  }
  void connectionDidFinishLoading(URLConnection*) override {
    if (httpStatus_ != 200) return finish(refusal());
    if (Status status = opened(); !status.ok()) return finish(std::move(status));  // no bytes
    if (expected_ >= 0 && received_ != static_cast<std::uint64_t>(expected_)) {
      return finish(Status::network("the transfer ended after " + std::to_string(received_) +
                                    " of " + std::to_string(expected_) + " bytes"));
    }
    finish(Status::OK());
  }

  void silence() { done_ = nullptr; }
  // Whether the transfer stopped because the reply named no length (with
  // Bound::requireLength).
  bool lengthUnknown() const { return lengthUnknown_; }
  void finish(Status status) {
    if (!done_) return;
    auto done = std::move(done_);
    done_ = nullptr;
    done(status, received_);
  }

 private:
  // Asks for the descriptor once.
  Status opened() {
    if (fd_ >= 0) return Status::OK();
    Result<int> fd = open_();
    if (!fd.ok()) return fd.status();
    fd_ = *fd;
    return Status::OK();
  }

  // Starts writing what has arrived to disk and returns at once. Only a hint:
  // where the system cannot (a pipe, a file system without it), the final
  // flush does all the work, and a failed write still shows there.
  void startWriteback() {
    if (::sync_file_range(fd_, static_cast<off64_t>(writebackFrom_),
                          static_cast<off64_t>(received_ - writebackFrom_),
                          SYNC_FILE_RANGE_WRITE) != 0) {
      writeback_ = false;
    }
    writebackFrom_ = received_;
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

  DownloadStream::Open open_;
  int fd_ = -1;
  std::string what_;
  DownloadStream::Bound bound_;
  std::optional<std::uint64_t> limit_;
  bool lengthUnknown_ = false;
  DownloadStream::Progress progress_;
  DownloadStream::Done done_;
  DownloadStream::Bytes bytes_;
  int httpStatus_ = 0;
  std::int64_t expected_ = -1;
  std::uint64_t received_ = 0;
  std::string errorBody_;
  bool writeback_ = true;  // false once the descriptor turned out not to take the hint
  std::uint64_t writebackFrom_ = 0;
};

class Task : public DownloadStream {
 public:
  Task(std::shared_ptr<Sink> sink, std::shared_ptr<URLConnection> connection)
      : sink_(std::move(sink)), connection_(std::move(connection)) {}
  void cancel() override {
    sink_->silence();
    if (connection_) connection_->cancel();
  }
  bool lengthUnknown() const override { return sink_->lengthUnknown(); }

 private:
  std::shared_ptr<Sink> sink_;
  std::shared_ptr<URLConnection> connection_;
};

// A task that failed before any request: reports on the next loop turn.
class Refused : public DownloadStream {
 public:
  void cancel() override { *cancelled_ = true; }
  bool lengthUnknown() const override { return false; }
  std::shared_ptr<bool> cancelled_ = std::make_shared<bool>(false);
};

// The library's download request for root/path (never executed here), signed
// with the stored sign-in as the operation would sign it.
Result<URLRequest> signedDownloadRequest(const std::string& root, const std::string& path) {
  auto item = std::make_shared<NBFolderOperationItem>();
  item->root = root;
  item->path = path;
  const auto definition = std::make_shared<NBDownloadFileOperation>(nullptr, item);
  const Result<NBServiceRequest> plan = definition->serviceRequest();
  if (!plan.ok()) return plan.status();
  return definition->signedRequest(*plan);
}

}  // namespace

std::shared_ptr<DownloadStream> DownloadStream::start(const std::string& root,
                                                      const std::string& path, int fd,
                                                      const std::string& what,
                                                      std::chrono::seconds idleLimit, Bound bound,
                                                      Progress progress, Done done) {
  return start(
      root, path, [fd]() -> Result<int> { return fd; }, what, idleLimit, bound, std::move(progress),
      std::move(done));
}

std::shared_ptr<DownloadStream> DownloadStream::start(const std::string& root,
                                                      const std::string& path, Open open,
                                                      const std::string& what,
                                                      std::chrono::seconds idleLimit, Bound bound,
                                                      Progress progress, Done done, Bytes bytes) {
  Result<URLRequest> signedRequest = signedDownloadRequest(root, path);
  if (!signedRequest.ok()) {
    auto refused = std::make_shared<Refused>();
    RunLoop::main().post([cancelled = refused->cancelled_, status = signedRequest.status(), done] {
      if (!*cancelled) done(status, 0);
    });
    return refused;
  }
  URLRequest request = std::move(*signedRequest);
  // The transport's time-out bounds connecting and any stall, not the whole transfer.
  request.setTimeoutInterval(static_cast<double>(idleLimit.count()));
  auto sink = std::make_shared<Sink>(std::move(open), what, bound, std::move(progress),
                                     std::move(done), std::move(bytes));
  auto connection = URLConnection::connectionWithRequest(std::move(request), sink);
  return std::make_shared<Task>(std::move(sink), std::move(connection));
}

Status DownloadStream::run(const std::string& root, const std::string& path, int fd,
                           const std::string& what, ProgressBar* progress,
                           std::chrono::seconds idleLimit, std::uint64_t* received,
                           const SizeLookup& lookUpSize) {
  Bound bound;
  bound.requireLength = static_cast<bool>(lookUpSize);
  bool lengthUnknown = false;
  Status status =
      runOnce(root, path, fd, what, progress, idleLimit, bound, received, &lengthUnknown);
  if (!lengthUnknown) return status;
  // The reply named no length: the listing's size bounds a second attempt.
  Result<std::uint64_t> size = lookUpSize();
  if (!size.ok()) return size.status();
  bound = {*size, false};
  return runOnce(root, path, fd, what, progress, idleLimit, bound, received, &lengthUnknown);
}

Status DownloadStream::runOnce(const std::string& root, const std::string& path, int fd,
                               const std::string& what, ProgressBar* progress,
                               std::chrono::seconds idleLimit, Bound bound, std::uint64_t* received,
                               bool* lengthUnknown) {
  std::optional<Status> outcome;
  std::uint64_t count = 0;
  auto task = start(
      root, path, fd, what, idleLimit, bound,
      [progress](std::uint64_t got, std::int64_t expected) {
        if (progress) progress->update(static_cast<std::int64_t>(got), expected);
      },
      [&](const Status& status, std::uint64_t got) {
        outcome = status;
        count = got;
      });
  RunLoop::main().runUntil([&] { return outcome.has_value(); }, std::chrono::hours(24 * 365));
  *lengthUnknown = task->lengthUnknown();
  if (progress && !*lengthUnknown) progress->finish();
  if (received) *received = count;
  return outcome.value_or(Status::internal("the download reported no outcome"));
}

}  // namespace nb::cli
