// Bridging the library's calls to a tracing system: a CallObserver turns each
// call into a span, printed as one JSON line on stdout (where an application
// would hand it to its exporter), and the counters are printed at the end.
//   trace_spans [FOLDER]    lists FOLDER (default /) with the keychain's sign-in
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "nb/Observability.h"
#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/JsonFramework/NBJsonWriter.h"
#include "nb/client/NBClient.h"
#include "nb/operations/NBGetDirectoryOperation.h"
#include "nb/operations/NBGetUserInfoOperation.h"

namespace {

// One span per call: opened at its start, closed (and printed) at its end,
// with an event per response.
class SpanPrinter : public nb::CallObserver {
 public:
  void onResponse(const nb::CallEvent& event) override {
    ++responses_;
    lastStatus_ = event.httpStatus;
  }
  void onCallEnd(const nb::CallEvent& event, const nb::Status& status) override {
    nb::JsonValue span = nb::JsonValue::object();
    span.set("name", nb::JsonValue(std::string(event.operation)));
    span.set("trace_id", nb::JsonValue(std::string(event.requestId)));
    span.set("http.method", nb::JsonValue(std::string(event.method)));
    span.set("http.route", nb::JsonValue(std::string(event.path)));
    span.set("server.role", nb::JsonValue(std::string(event.hostRole)));
    span.set("http.status_code", nb::JsonValue(static_cast<std::int64_t>(lastStatus_)));
    span.set("responses", nb::JsonValue(static_cast<std::int64_t>(responses_)));
    span.set("duration_us", nb::JsonValue(static_cast<std::int64_t>(event.duration.count())));
    span.set("status", nb::JsonValue(std::string(nb::statusCodeName(status.code()))));
    std::cout << nb::NBJsonWriter().stringWithObject(span).value_or("{}") << '\n';
    responses_ = 0;
    lastStatus_ = 0;
  }

 private:
  int responses_ = 0;
  int lastStatus_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  nb::setCallObserver(std::make_shared<SpanPrinter>());
  const nb::NBClient client;  // the consumer and token that `nb login` stored

  auto listing = std::make_shared<nb::NBGetDirectoryOperationItem>();
  listing->root = "app";
  if (argc > 1) listing->path = argv[1];
  const auto info = client.call<nb::NBGetUserInfoOperation>();
  const auto folder = client.call<nb::NBGetDirectoryOperation>(listing);

  const nb::Metrics m = nb::metrics();
  std::cerr << m.calls << " calls, " << m.requests << " requests, " << m.failedCalls << " failed, "
            << m.bytesReceived << " bytes received\n";
  return info.ok() && folder.ok() ? 0 : 1;
}
