// URLRequest describes one HTTP request: URL, method, headers, body, time-out
// and cache policy. A plain value: copy it, change the copy, hand it to
// URLConnection::connectionWithRequest, which keeps its own copy (move a
// request in when it is no longer needed). Copies share the body's bytes,
// which are never changed through a request, so copying a request with a big
// body is cheap.
//
// The body is either bytes in memory or a list of parts, each bytes or a file
// read from disk while sending, so that big uploads use constant memory. Its
// length is always known before sending (Content-Length, never chunked).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nb {

// One piece of a streamed request body: bytes in memory, or a file.
struct URLRequestBodyPart {
  static URLRequestBodyPart bytes(std::string data) {
    return sharedBytes(std::make_shared<const std::string>(std::move(data)));
  }
  // Bytes that stay owned elsewhere as well, sent from where they are without
  // a copy (an alias made with shared_ptr's aliasing constructor keeps their
  // owner alive). Their length is fixed when the request starts: bytes that
  // change length while they are sent fail the request instead. Null sends
  // nothing.
  static URLRequestBodyPart sharedBytes(std::shared_ptr<const std::string> data) {
    return {false, {}, data ? std::move(data) : std::make_shared<const std::string>()};
  }
  // A file read from disk while sending. `size` is its length when the caller
  // has measured it: that one value is then what the request declares
  // (HTTPBodyLength) and what the transport sends, and a file that no longer
  // has that many bytes fails the request. Negative: measured when sending.
  static URLRequestBodyPart file(std::string path, std::int64_t size = -1) {
    return {true, std::move(path), nullptr, size};
  }

  bool isFile = false;
  std::string path;                         // the file, for a file part
  std::shared_ptr<const std::string> data;  // the bytes, for a bytes part
  std::int64_t size = -1;                   // a file part's measured length; negative: unknown
  // Sees a file part's bytes as they are read for sending, with their offset
  // in the file (a resent body starts again at 0), on the transport's thread:
  // a caller may hash what was sent without reading the file a second time.
  std::shared_ptr<const std::function<void(std::int64_t offset, std::string_view bytes)>> observer =
      nullptr;
};

// There is no local response cache, so every policy loads from the network;
// the policy is kept so that callers can state their intent as on the platform.
enum class URLRequestCachePolicy {
  UseProtocolCachePolicy,
  ReloadIgnoringLocalCacheData,
  ReturnCacheDataElseLoad,
  ReturnCacheDataDontLoad,
};

class URLRequest {
 public:
  static constexpr double kDefaultTimeoutInterval = 60.0;

  // The time-out, in seconds, of requests that set none (those the operations
  // make, among them): kDefaultTimeoutInterval unless changed. Process-wide and
  // safe from any thread; a non-positive value restores 60 s. Requests already
  // made keep theirs.
  static void setDefaultTimeoutInterval(double seconds);
  static double defaultTimeoutInterval();

  // A GET of `url` with the default cache policy and time-out, no headers, no body.
  static URLRequest requestWithURL(std::string url);

  const std::string& URL() const { return url_; }
  void setURL(std::string url) { url_ = std::move(url); }

  const std::string& HTTPMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }

  // Replaces the body with `bytes` (and drops any body parts).
  void setHTTPBody(std::string bytes);
  // Replaces the body with `parts`, sent in order.
  void setHTTPBodyParts(std::vector<URLRequestBodyPart> parts);
  const std::vector<URLRequestBodyPart>& HTTPBodyParts() const { return body_; }
  // The body's length from its parts (bytes, and files' measured sizes), or -1
  // while a file part's size is unknown.
  std::int64_t HTTPBodyLength() const;
  bool hasHTTPBody() const { return hasBody_; }

  // Adds a header line; adding the same field twice sends both values.
  void addValue(std::string value, std::string headerField);
  const std::vector<std::pair<std::string, std::string>>& allHTTPHeaderFields() const {
    return headers_;
  }

  // Seconds without progress (connecting, or no byte sent or received) after
  // which the request fails with a time-out. Non-positive means the default
  // (defaultTimeoutInterval()).
  void setTimeoutInterval(double seconds);
  double timeoutInterval() const { return timeout_; }

  // The slowest a transfer may run: averaged over the last `seconds`, fewer
  // than `bytesPerSecond` bytes a second (sent and received) fail it with a
  // time-out, so that a peer trickling a byte now and then cannot hold it
  // forever. Zero bytes a second (the default) sets no such bound.
  struct MinimumSpeed {
    std::uint32_t bytesPerSecond = 0;
    std::uint32_t seconds = 0;
  };
  // The bound of requests that set none: none unless changed. Process-wide
  // and safe from any thread; requests already made keep theirs.
  static void setDefaultMinimumSpeed(MinimumSpeed speed);
  static MinimumSpeed defaultMinimumSpeed();
  void setMinimumSpeed(MinimumSpeed speed) { minimumSpeed_ = speed; }
  MinimumSpeed minimumSpeed() const { return minimumSpeed_; }

  void setCachePolicy(URLRequestCachePolicy policy) { cachePolicy_ = policy; }
  URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }

 private:
  std::string url_;
  std::string method_ = "GET";
  std::vector<std::pair<std::string, std::string>> headers_;  // (field, value)
  std::vector<URLRequestBodyPart> body_;
  bool hasBody_ = false;
  double timeout_ = defaultTimeoutInterval();
  MinimumSpeed minimumSpeed_ = defaultMinimumSpeed();
  URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::UseProtocolCachePolicy;
};

}  // namespace nb
