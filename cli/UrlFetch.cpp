#include "cli/UrlFetch.h"

#include <memory>
#include <optional>

#include "nb/platform/RunLoop.h"
#include "nb/platform/URLConnection.h"
#include "nb/platform/URLRequest.h"

namespace nb::cli {
namespace {

class Collector : public URLConnectionDelegate {
 public:
  explicit Collector(std::size_t maxBytes) : maxBytes_(maxBytes) {}

  void connectionDidReceiveResponse(URLConnection*, const URLResponse& response) override {
    status = response.statusCode();
    body.clear();  // a later response (after a redirect) starts a new body
  }
  void connectionDidReceiveData(URLConnection* connection, std::string_view chunk) override {
    if (body.size() + chunk.size() > maxBytes_) {
      connection->cancel();
      failure = "the reply is longer than " + std::to_string(maxBytes_) + " bytes";
      done = true;
      return;
    }
    body.append(chunk);
  }
  void connectionDidFailWithError(URLConnection*, const NBError& error) override {
    failure = error.description.empty() ? "the request failed" : error.description;
    done = true;
  }
  void connectionDidFinishLoading(URLConnection*) override { done = true; }

  int status = 0;
  std::string body;
  std::optional<std::string> failure;
  bool done = false;

 private:
  std::size_t maxBytes_;
};

}  // namespace

std::variant<std::string, UrlFetchError> UrlFetch::get(const std::string& url,
                                                       std::chrono::seconds timeout,
                                                       std::size_t maxBytes) {
  auto collector = std::make_shared<Collector>(maxBytes);
  auto connection =
      URLConnection::connectionWithRequest(URLRequest::requestWithURL(url), collector);
  if (!RunLoop::main().runUntil([&] { return collector->done; }, timeout)) {
    connection->cancel();
    return UrlFetchError{"no answer from " + url, true};
  }
  if (collector->failure) return UrlFetchError{*collector->failure};
  if (collector->status != 200) {
    return UrlFetchError{url + " answered with status " + std::to_string(collector->status)};
  }
  return std::move(collector->body);
}

}  // namespace nb::cli
