// NBNetworkOperation is the base of every operation that makes HTTP requests,
// and holds the one request procedure they all follow, written once:
//
//   plan (serviceRequest(): method, URL, parameters, body, whose keys sign)
//   -> sign -> send -> judge the status (statusTable(), handleErrorCode())
//   -> read the body into the sink the operation chooses (replySink(): memory,
//      bounded, or a file) -> judge a service error in it (handleErrorData())
//   -> readReply(): the outcome, or the plan of the next step, which goes
//      round the same procedure (three-legged sign-in, upload's two phases).
//
// The delegate hears exactly one outcome per call; failureStatus() keeps the
// Status behind a failure. Operations are made with make_shared: the running
// connection holds the operation (shared_from_this) until its last callback has
// returned, so the owner may release it inside a delegate call. Owners call
// cancelOperation() before releasing an operation whose request may still run.
// Used on the thread whose run loop started the request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nb/Private/NBCredentialSource.h"
#include "nb/Private/NBOperation.h"
#include "nb/Private/NBServiceRequest.h"
#include "nb/Private/ParseError.h"
#include "nb/platform/URLConnection.h"
#include "nb/platform/URLRequest.h"

namespace nb {

class NBReplySink;
class Transport;

class NBNetworkOperation : public NBOperation, public URLConnectionDelegate {
 public:
  using NBOperation::NBOperation;
  // Cancels the request.
  ~NBNetworkOperation() override;

  // Runs the procedure from its first step. An operation that needs an access
  // token does nothing and reports nothing when its credential source has none
  // (failureStatus() then says kUnauthenticated).
  // A request of this operation still running is cancelled first, so the
  // delegate hears exactly one outcome: the latest call's. A call that cannot be
  // made is reported through operationFail before anything is sent.
  void executeOperation() override;
  // Stops the request without telling the delegate (failureStatus() becomes
  // kCancelled); nothing when none runs. What a file sink wrote is removed.
  void cancelOperation() override;

  // Where this operation takes its consumer and access token; null means the
  // keychain (NBAPIInfo), the default. Takes effect at the next step signed.
  void setCredentialSource(std::shared_ptr<NBCredentialSource> source);
  // The transport this operation's requests go over (the library's internal
  // transport interface); null means the standard one. Takes effect at the
  // next request sent.
  void setTransport(std::shared_ptr<Transport> transport);

  // The plan of the first step, or why the call cannot be made. Base: a failure.
  virtual Result<NBServiceRequest> serviceRequest() const;
  // The request that goes on the wire for `plan`: signed as the plan says, or
  // why it cannot be signed (no consumer key, no access token).
  Result<URLRequest> signedRequest(const NBServiceRequest& plan) const;

  // Transport callbacks. Only the upload extends one (send progress).
  void connectionDidReceiveResponse(URLConnection* connection,
                                    const URLResponse& response) override;
  void connectionDidReceiveData(URLConnection* connection, std::string_view chunk) override;
  void connectionDidFailWithError(URLConnection* connection, const NBError& error) override;
  void connectionDidFinishLoading(URLConnection* connection) override;

 protected:
  // What an accepted reply leads to: the next step's plan when there is one,
  // else the success result.
  struct Step {
    Step(NBResult outcome) : result(std::move(outcome)) {}  // NOLINT(google-explicit-constructor)
    Step(NBServiceRequest plan)                             // NOLINT(google-explicit-constructor)
        : next(std::make_shared<NBServiceRequest>(std::move(plan))) {}
    NBResult result;
    std::shared_ptr<NBServiceRequest> next;
  };

  // True for operations that run under an access token (file operations).
  virtual bool needsAccessToken() const { return false; }
  // Called once the call will be made (after the token check and the cancel
  // of an earlier request), before the first step is planned. Base: nothing.
  virtual void willStartRequest() {}
  // The table that judges each response's status. kNone: every status goes on
  // to the body, which the service's "msg" judges.
  virtual NBStatusTable statusTable() const { return NBStatusTable::kNone; }
  // Where the body of the request being sent goes. Base: memory, bounded by
  // kReplyMemoryLimit (past it the request is cancelled and fails).
  virtual std::unique_ptr<NBReplySink> replySink();
  // True when received bytes are reported as progress (downloads).
  virtual bool reportsReceiveProgress() const { return false; }
  // The outcome of a complete, accepted reply: `body` is its text, or absent
  // when the sink put it in a file. Base: an empty success.
  virtual Result<Step> readReply(const std::optional<std::string>& body);

  // The next step of a multi-step call, or why it cannot be planned.
  static Result<Step> nextStep(Result<NBServiceRequest> plan) {
    if (!plan.ok()) return plan.status();
    return Step(std::move(*plan));
  }

  // Judges the HTTP status ("200", "404", ...) under statusTable(). True means
  // the failure has been reported and this response's body is dropped.
  virtual bool handleErrorCode(const std::string& status);
  // Reports a service error carried in the body: a JSON object whose "msg" is
  // a string other than "ok" becomes operationFail with its user message, and
  // true is returned. Anything else (absent, not JSON, not an object) is false.
  virtual bool handleErrorData(const std::optional<std::string>& data);
  // Turns the body into the outcome through readReply(): reports the result or
  // the failure, or sends the next step.
  virtual void handleSuccessData(const std::optional<std::string>& data);

  // Signs `plan` as it says, then sends it; a plan that failed, or that cannot
  // be signed, is reported through operationFail instead.
  void sendRequest(Result<NBServiceRequest> plan);
  // Starts `request` with this operation as delegate and keeps it in
  // _connection; a request still running from before is cancelled first.
  void startConnection(URLRequest request);
  // The source of this operation's consumer and access token.
  std::shared_ptr<NBCredentialSource> credentialSource() const;

  std::shared_ptr<URLConnection> _connection;  // the request in flight, if any

 private:
  // Ends the request in flight with `status`: the sink drops what it has, no
  // further callback arrives, the delegate hears the failure.
  void failRequest(Status status);
  // The signed URL of `plan`, or why it cannot be signed.
  Result<std::string> signedURL(const NBServiceRequest& plan) const;

  std::shared_ptr<NBCredentialSource> _credentials;  // null: the keychain
  std::shared_ptr<Transport> _transport;             // null: the standard transport
  // Deletes a sink where its type is complete (operations' inherited
  // constructors are made in files that do not include it).
  struct SinkDeleter {
    void operator()(NBReplySink* sink) const;
  };
  std::unique_ptr<NBReplySink, SinkDeleter> _sink;  // the body of the current response
  bool _statusRefused = false;  // the current response's status was refused and reported
  std::int64_t _receivedBytes = 0;
  std::int64_t _expectedBytes = -1;
};

}  // namespace nb
