// NBNetworkOperation is the base of every operation that makes HTTP requests.
// It owns the connection and the body buffer, turns a transport failure, a
// status that handleErrorCode() refuses or a service "msg" other than "ok"
// into operationFail, and hands any other body to handleSuccessData().
//
// Subclasses override executeOperation() (build the request, then
// startConnection()), optionally handleErrorCode(), and handleSuccessData(),
// which must accept a nil body (the body of a refused status that nobody
// cancelled) and then report nothing. Operations are made with make_shared:
// the running connection holds the operation (shared_from_this) until its last
// callback has returned, so the owner may release it inside a delegate call.
// Owners call cancelOperation() before releasing an operation whose request
// may still run. Used on the thread whose run loop started the request.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nb/Private/NBOperation.h"
#include "nb/platform/URLConnection.h"
#include "nb/platform/URLRequest.h"

namespace nb {

class NBNetworkOperation : public NBOperation, public URLConnectionDelegate {
 public:
  // The most bytes of one reply body kept in memory, far above any real reply.
  // A longer body, or a Content-Length announcing one, cancels the request
  // and the delegate hears kReplyTooLargeMessage once. Operations that stream
  // their body to a file (downloads) do not keep it here and are not bounded.
  static constexpr std::size_t kMaxReplyBytes = std::size_t{64} << 20;
  static constexpr const char* kReplyTooLargeMessage =
      "the service's reply is too large (over 64 MiB)";

  using NBOperation::NBOperation;
  // Cancels the request. Runs this class's cancelOperation(): a subclass that
  // overrides it and holds more state cancels in its own destructor.
  ~NBNetworkOperation() override;

  // Stops the request without telling the delegate; nothing when none runs.
  void cancelOperation() override;

  // Transport callbacks. Download and upload operations extend them.
  void connectionDidReceiveResponse(URLConnection* connection,
                                    const URLResponse& response) override;
  void connectionDidReceiveData(URLConnection* connection, std::string_view chunk) override;
  void connectionDidFailWithError(URLConnection* connection, const NBError& error) override;
  void connectionDidFinishLoading(URLConnection* connection) override;

 protected:
  // Judges the HTTP status ("200", "404", ...). True means the failure has
  // been reported and this response's body is dropped. Base: false.
  virtual bool handleErrorCode(const std::string& status);
  // Reports a service error carried in the body: a JSON object whose "msg" is
  // a string other than "ok" becomes operationFail with its user message, and
  // true is returned. Anything else (nil, not JSON, not an object) is false.
  virtual bool handleErrorData(const std::optional<std::string>& data);
  // Turns the body into a result for the delegate. Base: nothing.
  virtual void handleSuccessData(const std::optional<std::string>& data);
  // Whether the body is kept in _receiveData, and so bounded by kMaxReplyBytes
  // (also when Content-Length announces more). False for operations that
  // stream it elsewhere, such as to a file.
  virtual bool keepsReplyInMemory() const { return true; }

  // Starts `request` with this operation as delegate and keeps it in
  // _connection; a request still running from before is cancelled first.
  // The connection keeps the request: move it in when it is no longer needed.
  void startConnection(URLRequest request);

  std::shared_ptr<URLConnection> _connection;  // the request in flight, if any
  std::optional<std::string> _receiveData;     // current body; nullopt is nil


 private:
  // A refused status was reported for the current request: the request's
  // outcome is told, so a later transport failure is not told again.
  bool _statusRefused = false;
};

}  // namespace nb
