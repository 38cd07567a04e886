// URLConnection runs one HTTP request on the calling thread's run loop and
// reports to its URLConnectionDelegate on that thread: a response, its body in
// chunks, then exactly one of finish and fail, unless cancel() came first.
// The connection shares ownership of the delegate until its last callback has
// returned; the run loop's transport keeps a running connection alive.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nb/platform/NBError.h"
#include "nb/platform/URLRequest.h"

namespace nb {

// The header part of an HTTP response. The header lines are kept as one block
// and split into fields only when asked for: most replies are read for their
// status and length alone.
class URLResponse {
 public:
  URLResponse() = default;
  // Fields hold no line break and names no colon, as in HTTP.
  URLResponse(std::string url, int statusCode,
              const std::vector<std::pair<std::string, std::string>>& headers);
  // `headerBlock` is the header lines as "Field: value", each ended by '\n'
  // (blanks around names and values are allowed); `expectedContentLength` is
  // what parseContentLength makes of its first Content-Length, if any, else -1.
  static URLResponse withHeaderBlock(std::string url, int statusCode, std::string headerBlock,
                                     std::int64_t expectedContentLength);
  // A Content-Length value as a length, or -1 when it is none.
  static std::int64_t parseContentLength(std::string_view value);

  const std::string& URL() const { return url_; }  // after redirects
  int statusCode() const { return statusCode_; }
  // The body length announced by Content-Length; negative when unknown.
  std::int64_t expectedContentLength() const { return expectedContentLength_; }
  // Header fields in arrival order, as (field, value).
  std::vector<std::pair<std::string, std::string>> allHeaderFields() const;
  // The first value of `field` (compared without case), or nothing.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;

 private:
  // The first value of `field` in the block, or null.
  std::optional<std::string_view> find(std::string_view field) const;

  std::string url_;
  int statusCode_ = 0;
  std::int64_t expectedContentLength_ = -1;
  std::string headerBlock_;
};

class URLConnection;

// Receives a connection's events. The connection holds a shared reference to
// the delegate while it runs, so the delegate may drop its owner's last
// reference to itself, or cancel the connection, inside any callback.
class URLConnectionDelegate {
 public:
  virtual ~URLConnectionDelegate() = default;

  virtual void connectionDidReceiveResponse(URLConnection* connection,
                                            const URLResponse& response) = 0;
  virtual void connectionDidReceiveData(URLConnection* connection, std::string_view chunk) = 0;
  // `bytesWritten` since the previous call; totals so far and expected.
  virtual void connectionDidSendBodyData(URLConnection* connection, std::int64_t bytesWritten,
                                         std::int64_t totalBytesWritten,
                                         std::int64_t totalBytesExpectedToWrite) {
    (void)connection;
    (void)bytesWritten;
    (void)totalBytesWritten;
    (void)totalBytesExpectedToWrite;
  }
  // The request failed; error.description is a readable sentence.
  virtual void connectionDidFailWithError(URLConnection* connection, const NBError& error) = 0;
  virtual void connectionDidFinishLoading(URLConnection* connection) = 0;
};

// Error domain of transport failures; the code is the transport's own.
inline constexpr const char* kURLConnectionErrorDomain = "URLConnectionErrorDomain";
// The code of a transport failure that is a time-out (no progress in time).
inline constexpr long kURLConnectionErrorTimedOut = 28;

class Transport;
class Transfer;

// Details: a further response on one request starts a new body; redirects are
// followed without being reported; upload progress arrives through
// connectionDidSendBodyData. TLS certificates are verified; NB_CA_FILE names a
// CA bundle to trust instead of the system's, and NB_CONNECT_TO sends
// host:port pairs elsewhere (comma-separated "HOST:PORT:TO-HOST:TO-PORT"
// entries), both read once per process. Dropping every reference does not stop
// a request: call cancel(). A connection is used only from the thread that
// started it, and its callbacks must not run that thread's loop again
// (RunLoop::runUntil) while they are inside the transport.
class URLConnection : public std::enable_shared_from_this<URLConnection> {
 public:
  // Creates the connection and starts it at once; the first callback comes
  // from the run loop, never from inside this call. A request that cannot be
  // sent (bad URL, unreadable body file) fails through the delegate as well.
  // The connection keeps `request`: move it in when the caller is done with it.
  static std::shared_ptr<URLConnection> connectionWithRequest(
      URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate);
  // The same over `transport` (the library's internal transport interface);
  // null means the standard one.
  static std::shared_ptr<URLConnection> connectionWithRequest(
      URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate,
      std::shared_ptr<Transport> transport);

  ~URLConnection();
  URLConnection(const URLConnection&) = delete;
  URLConnection& operator=(const URLConnection&) = delete;

  // Stops the request; no callback follows, and the delegate is released
  // (after the callback in progress, if any, has returned). Idempotent.
  void cancel();

  const URLRequest& originalRequest() const { return request_; }

 private:
  class Receiver;  // hears the transfer's events and passes them to the delegate

 public:
  // Only connectionWithRequest can make a key, and so a connection; the
  // constructor is public for make_shared, which allocates the connection and
  // its count in one block.
  class Key {
    friend class URLConnection;
    Key() = default;
  };
  URLConnection(Key, URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate);

 private:
  URLRequest request_;
  std::shared_ptr<URLConnectionDelegate> delegate_;  // null once ended or cancelled
  std::shared_ptr<Transport> transport_;
  std::unique_ptr<Transfer> transfer_;
  std::int64_t bodyBytesSent_ = 0;
  bool ended_ = false;
};

}  // namespace nb
