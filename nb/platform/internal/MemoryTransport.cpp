#include "nb/platform/internal/MemoryTransport.h"

#include "nb/platform/RunLoop.h"
#include "nb/platform/URLConnection.h"
#include "nb/platform/internal/RequestBodyReader.h"

namespace nb {
namespace {

// Curl's codes, so that callers see the same codes from either transport.
constexpr int kCouldNotConnect = 7;
constexpr int kReadError = 26;

NBError failure(int code, std::string text) {
  NBError error;
  error.domain = kURLConnectionErrorDomain;
  error.code = code;
  error.description = std::move(text);
  return error;
}

// Plays one reply, one event per run-loop pass, until it ends or is cancelled.
class MemoryTransfer final : public Transfer, public std::enable_shared_from_this<MemoryTransfer> {
 public:
  MemoryTransfer(URLRequest request, MemoryReply reply, std::shared_ptr<TransferReceiver> receiver,
                 std::shared_ptr<int> running)
      : request_(std::move(request)),
        reply_(std::move(reply)),
        receiver_(std::move(receiver)),
        running_(std::move(running)) {
    ++*running_;
  }

  void cancel() override { end(); }

  void schedule() {
    RunLoop::current().post([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->step();
    });
  }

 private:
  // One event; schedules the next unless the transfer has ended.
  void step() {
    if (!receiver_) return;
    const auto receiver = receiver_;  // the receiver may cancel inside
    bool goOn = true;
    switch (stage_) {
      case Stage::kBody:
        if (request_.hasHTTPBody()) {
          std::string error;
          auto reader = RequestBodyReader::make(request_.HTTPBodyParts(), &error);
          if (!reader) {
            complete(failure(kReadError, error));
            return;
          }
          goOn = receiver->transferDidSendBodyData(reader->length(), reader->length());
        }
        stage_ = Stage::kResponse;
        break;
      case Stage::kResponse:
        if (!reply_.status) {
          finishWithEnding();
          return;
        }
        goOn = receiver->transferDidReceiveResponse(
            URLResponse(request_.URL(), *reply_.status, reply_.headers));
        stage_ = Stage::kChunks;
        break;
      case Stage::kChunks:
        if (nextChunk_ == reply_.chunks.size()) {
          finishWithEnding();
          return;
        }
        goOn = receiver->transferDidReceiveData(reply_.chunks[nextChunk_++]);
        break;
    }
    if (!goOn) {
      end();
      return;
    }
    schedule();
  }

  void finishWithEnding() {
    switch (reply_.ending) {
      case MemoryReply::Ending::kFinish:
        complete(std::nullopt);
        return;
      case MemoryReply::Ending::kNetworkFailure:
        complete(failure(kCouldNotConnect, reply_.failureText));
        return;
      case MemoryReply::Ending::kTimeOut:
        complete(failure(kURLConnectionErrorTimedOut, "The request timed out."));
        return;
      case MemoryReply::Ending::kNever:
        return;  // holds the receiver until cancelled
    }
  }

  void complete(const std::optional<NBError>& error) {
    const auto receiver = receiver_;
    end();
    receiver->transferDidComplete(error ? &*error : nullptr);
  }

  void end() {
    if (!receiver_) return;
    receiver_.reset();
    --*running_;
  }

  enum class Stage { kBody, kResponse, kChunks };
  URLRequest request_;
  MemoryReply reply_;
  std::shared_ptr<TransferReceiver> receiver_;  // null once ended
  std::shared_ptr<int> running_;
  Stage stage_ = Stage::kBody;
  std::size_t nextChunk_ = 0;
};

// The connection owns its transfer; the transfer's scheduled steps hold it
// only weakly, so a handle that keeps it shared is what the connection gets.
class TransferHandle final : public Transfer {
 public:
  explicit TransferHandle(std::shared_ptr<MemoryTransfer> transfer)
      : transfer_(std::move(transfer)) {}
  ~TransferHandle() override = default;
  void cancel() override { transfer_->cancel(); }

 private:
  std::shared_ptr<MemoryTransfer> transfer_;
};

}  // namespace

MemoryReply MemoryReply::withBody(int status, std::string body) {
  MemoryReply reply;
  reply.status = status;
  reply.headers = {{"Content-Length", std::to_string(body.size())}};
  if (!body.empty()) reply.chunks.push_back(std::move(body));
  return reply;
}

MemoryReply MemoryReply::failure(Ending ending, std::string text) {
  MemoryReply reply;
  reply.status = std::nullopt;
  reply.ending = ending;
  reply.failureText = std::move(text);
  return reply;
}

std::string MemoryTransport::bodyOf(const URLRequest& request) {
  std::string error;
  auto reader = RequestBodyReader::make(request.HTTPBodyParts(), &error);
  if (!reader) return error;
  std::string body;
  char buffer[16384];
  for (;;) {
    const auto got = reader->read(buffer, sizeof buffer);
    if (got < 0) return reader->error();
    if (got == 0) return body;
    body.append(buffer, static_cast<std::size_t>(got));
  }
}

std::unique_ptr<Transfer> MemoryTransport::start(const URLRequest& request,
                                                 std::shared_ptr<TransferReceiver> receiver) {
  requests_.push_back(request);
  MemoryReply reply;
  if (!replies_.empty()) {
    reply = std::move(replies_.front());
    replies_.pop_front();
  } else if (responder_) {
    reply = responder_(request);
  } else {
    reply = MemoryReply::failure(MemoryReply::Ending::kNetworkFailure,
                                 "No reply is scripted for " + request.URL() + ".");
  }
  auto transfer =
      std::make_shared<MemoryTransfer>(request, std::move(reply), std::move(receiver), running_);
  transfer->schedule();
  return std::make_unique<TransferHandle>(std::move(transfer));
}

}  // namespace nb
