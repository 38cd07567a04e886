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
  void connectionDidReceiveResponse(URLConnection*, const URLResponse& response) override {
    status = response.statusCode();
    body.clear();  // a later response (after a redirect) starts a new body
  }
  void connectionDidReceiveData(URLConnection*, std::string_view chunk) override {
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
};

}  // namespace

std::variant<std::string, UrlFetchError> UrlFetch::get(const std::string& url,
                                                       std::chrono::seconds timeout) {
  auto collector = std::make_shared<Collector>();
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
