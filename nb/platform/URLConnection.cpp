#include "nb/platform/URLConnection.h"

#include <charconv>

#include "nb/platform/AsciiText.h"
#include "nb/platform/internal/Transport.h"

namespace nb {

namespace {

// Calls `visit(field, value)` for each line of `block` that holds a colon,
// until it returns false.
template <typename Visit>
void forEachHeader(std::string_view block, Visit visit) {
  while (!block.empty()) {
    const std::size_t end = block.find('\n');
    const std::string_view line = block.substr(0, end);
    block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (!visit(ascii::trim(line.substr(0, colon)), ascii::trim(line.substr(colon + 1)))) return;
  }
}

}  // namespace

URLResponse::URLResponse(std::string url, int statusCode,
                         const std::vector<std::pair<std::string, std::string>>& headers)
    : url_(std::move(url)), statusCode_(statusCode) {
  for (const auto& [field, value] : headers) {
    headerBlock_.append(field).append(": ").append(value).push_back('\n');
  }
  if (const auto length = find("Content-Length")) {
    expectedContentLength_ = parseContentLength(*length);
  }
}

URLResponse URLResponse::withHeaderBlock(std::string url, int statusCode, std::string headerBlock,
                                         std::int64_t expectedContentLength) {
  URLResponse response;
  response.url_ = std::move(url);
  response.statusCode_ = statusCode;
  response.headerBlock_ = std::move(headerBlock);
  response.expectedContentLength_ = expectedContentLength;
  return response;
}

std::int64_t URLResponse::parseContentLength(std::string_view value) {
  std::int64_t length = -1;
  const char* end = value.data() + value.size();
  auto [ptr, ec] = std::from_chars(value.data(), end, length);
  return ec == std::errc() && ptr == end && length >= 0 ? length : -1;
}

std::optional<std::string_view> URLResponse::find(std::string_view field) const {
  std::optional<std::string_view> found;
  forEachHeader(headerBlock_, [&](std::string_view name, std::string_view value) {
    if (!ascii::equalsIgnoringCase(name, field)) return true;
    found = value;
    return false;
  });
  return found;
}

std::vector<std::pair<std::string, std::string>> URLResponse::allHeaderFields() const {
  std::vector<std::pair<std::string, std::string>> fields;
  forEachHeader(headerBlock_, [&](std::string_view name, std::string_view value) {
    fields.emplace_back(name, value);
    return true;
  });
  return fields;
}

std::optional<std::string> URLResponse::valueForHTTPHeaderField(std::string_view field) const {
  if (const auto value = find(field)) return std::string(*value);
  return std::nullopt;
}

// The connection's side of the transport: passes each event to the delegate
// unless the connection has ended, and keeps the connection alive while the
// transport holds it.
class URLConnection::Receiver final : public TransferReceiver {
 public:
  explicit Receiver(std::shared_ptr<URLConnection> connection)
      : connection_(std::move(connection)) {}

  bool transferDidReceiveResponse(const URLResponse& response) override {
    URLConnection& c = *connection_;
    if (c.ended_) return false;
    const auto delegate = c.delegate_;  // the delegate may cancel inside
    if (delegate) delegate->connectionDidReceiveResponse(&c, response);
    return !c.ended_;
  }
  bool transferDidReceiveData(std::string_view chunk) override {
    URLConnection& c = *connection_;
    if (c.ended_) return false;
    const auto delegate = c.delegate_;
    if (delegate) delegate->connectionDidReceiveData(&c, chunk);
    return !c.ended_;
  }
  bool transferDidSendBodyData(std::int64_t totalSent, std::int64_t totalExpected) override {
    URLConnection& c = *connection_;
    if (c.ended_) return false;
    if (totalSent <= c.bodyBytesSent_) return true;
    const std::int64_t delta = totalSent - c.bodyBytesSent_;
    c.bodyBytesSent_ = totalSent;
    const auto delegate = c.delegate_;
    if (delegate) delegate->connectionDidSendBodyData(&c, delta, totalSent, totalExpected);
    return !c.ended_;
  }
  void transferDidComplete(const NBError* error) override {
    URLConnection& c = *connection_;
    if (c.ended_) return;
    c.ended_ = true;
    // Released only once the callback has returned.
    const auto delegate = std::move(c.delegate_);
    if (!delegate) return;
    if (error != nullptr) {
      delegate->connectionDidFailWithError(&c, *error);
    } else {
      delegate->connectionDidFinishLoading(&c);
    }
  }
  void transferWasDropped() override {
    connection_->ended_ = true;
    // The connection and its delegate may refer to each other: break the cycle.
    connection_->delegate_.reset();
  }

 private:
  std::shared_ptr<URLConnection> connection_;
};

std::shared_ptr<URLConnection> URLConnection::connectionWithRequest(
    URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate) {
  return connectionWithRequest(std::move(request), std::move(delegate), nullptr);
}

std::shared_ptr<URLConnection> URLConnection::connectionWithRequest(
    URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate,
    std::shared_ptr<Transport> transport) {
  auto connection = std::make_shared<URLConnection>(Key(), std::move(request), std::move(delegate));
  connection->transport_ = transport ? std::move(transport) : Transport::standard();
  connection->transfer_ =
      connection->transport_->start(connection->request_, std::make_shared<Receiver>(connection));
  return connection;
}

URLConnection::URLConnection(Key, URLRequest request,
                             std::shared_ptr<URLConnectionDelegate> delegate)
    : request_(std::move(request)), delegate_(std::move(delegate)) {}

URLConnection::~URLConnection() = default;

void URLConnection::cancel() {
  if (ended_) return;
  ended_ = true;
  auto self = shared_from_this();  // the transport may hold the last reference
  if (transfer_) transfer_->cancel();
  delegate_.reset();
}

}  // namespace nb
