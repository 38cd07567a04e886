// MemoryTransport answers requests from a script instead of the network, so
// that operations are tested (and fuzzed) without sockets: each request it is
// given is recorded, and answered by the next scripted MemoryReply (or by a
// responder function): a status, headers, the body in chunks, then success, a
// network failure, a time-out, or nothing at all. Events arrive from the run
// loop of the thread that started the request, one per loop pass, as from the
// real transport. Use it from one thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nb/platform/URLRequest.h"
#include "nb/platform/internal/Transport.h"

namespace nb {

struct MemoryReply {
  enum class Ending {
    kFinish,          // the body is complete
    kNetworkFailure,  // the connection breaks (after the response, if any)
    kTimeOut,         // no progress in time
    kNever,           // nothing more ever arrives (until cancelled)
  };

  // The response's status; absent: the request fails (or hangs) before any
  // response arrives.
  std::optional<int> status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<std::string> chunks;  // the body, delivered one chunk per event
  Ending ending = Ending::kFinish;
  std::string failureText = "Could not connect to server.";  // for kNetworkFailure

  // A finished reply of `status` whose body is `body` in one chunk, with its
  // Content-Length.
  static MemoryReply withBody(int status, std::string body);
  // A failure before any response.
  static MemoryReply failure(Ending ending, std::string text = "Could not connect to server.");
};

class MemoryTransport final : public Transport {
 public:
  using Responder = std::function<MemoryReply(const URLRequest&)>;

  // Answers the next request with `reply`; replies are used in order.
  void enqueue(MemoryReply reply) { replies_.push_back(std::move(reply)); }
  // Answers requests through `responder` once the queue is empty. Without one
  // an unscripted request fails with a network failure.
  void setResponder(Responder responder) { responder_ = std::move(responder); }

  // The requests started so far, in order, as they were given.
  const std::vector<URLRequest>& requests() const { return requests_; }
  // The body `request` would send, read whole (files included); an error text
  // in place of the body when a part cannot be read.
  static std::string bodyOf(const URLRequest& request);
  // Transfers started and not yet ended or cancelled.
  int running() const { return *running_; }

  std::unique_ptr<Transfer> start(const URLRequest& request,
                                  std::shared_ptr<TransferReceiver> receiver) override;

 private:
  std::deque<MemoryReply> replies_;
  Responder responder_;
  std::vector<URLRequest> requests_;
  std::shared_ptr<int> running_ = std::make_shared<int>(0);
};

}  // namespace nb
