#include "nb/Observability.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <typeinfo>

#include "nb/Private/NBHosts.h"
#include "nb/Private/NBOperation.h"
#include "nb/Private/internal/CallTrace.h"
#include "nb/platform/URLRequest.h"

namespace nb {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The sink and the observer; `observing` says whether either is set, so that
// a call tests one flag and takes the lock only while something listens.
struct Listeners {
  std::mutex mutex;
  std::function<void(const LogRecord&)> sink;
  LogLevel level = LogLevel::kOff;
  std::shared_ptr<CallObserver> observer;
  std::atomic<bool> observing{false};

  void update() { observing = (sink && level != LogLevel::kOff) || observer; }
};

Listeners& listeners() {
  static Listeners shared;
  return shared;
}

constexpr std::size_t kHttpStatuses = 600;
constexpr std::size_t kCauses = static_cast<std::size_t>(StatusCode::kInternal) + 1;

struct Counters {
  std::atomic<std::uint64_t> calls{0}, requests{0}, bytesSent{0}, bytesReceived{0}, failedCalls{0};
  std::array<std::atomic<std::uint64_t>, kCauses> causes{};
  std::array<std::atomic<std::uint64_t>, kHttpStatuses> statuses{};
  std::array<std::atomic<std::uint64_t>, Metrics::kLatencyBoundsMs.size() + 1> latency{};
};

Counters& counters() {
  static Counters shared;
  return shared;
}

void add(std::atomic<std::uint64_t>& counter, std::uint64_t amount) {
  counter.fetch_add(amount, std::memory_order_relaxed);
}

// "<8 hex digits of this process>-<count>": unique in the process, and apart
// from other processes' ids in a server's log.
std::string nextRequestId() {
  static const std::string prefix = [] {
    std::random_device device;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(device()));
    return std::string(text) + "-";
  }();
  static std::atomic<std::uint64_t> next{1};
  return prefix + std::to_string(next.fetch_add(1, std::memory_order_relaxed));
}

// The class name of `operation` without its namespace: "NBUploadFileOperation".
std::string operationName(const NBOperation& operation) {
  const char* mangled = typeid(operation).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : mangled;
  std::free(demangled);
  const auto colons = name.rfind("::");
  return colons == std::string::npos ? name : name.substr(colons + 2);
}

// Query parameters whose values are secrets or let a request be replayed.
bool secretParameter(std::string_view name) {
  return name == "oauth_signature" || name == "oauth_token" || name == "oauth_verifier" ||
         name == "x_auth_password" || name == "password" || name.find("secret") != name.npos;
}

// `url` with the values of its secret query parameters replaced.
std::string redacted(std::string_view url) {
  const auto query = url.find('?');
  if (query == std::string_view::npos) return std::string(url);
  std::string out(url.substr(0, query + 1));
  std::string_view rest = url.substr(query + 1);
  while (!rest.empty()) {
    const auto amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    const auto equals = pair.find('=');
    if (equals != std::string_view::npos && secretParameter(pair.substr(0, equals))) {
      out.append(pair.substr(0, equals + 1)).append("REDACTED");
    } else {
      out.append(pair);
    }
    if (amp == std::string_view::npos) break;
    out.push_back('&');
    rest = rest.substr(amp + 1);
  }
  return out;
}

std::string_view hostRole(std::string_view host) {
  if (host == NBHosts::apiHost()) return "api";
  if (host == NBHosts::contentHost()) return "content";
  if (host == NBHosts::conversionHost()) return "conversion";
  if (host == NBHosts::webHost()) return "web";
  return "other";
}

std::chrono::microseconds since(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - start);
}

}  // namespace

// The texts of an observed call's events, made only while observed.
struct NBObservedCall {
  std::string operation;
  std::string requestId;
  std::string method;
  std::string url;
  std::string path;
  std::string_view role;
};

void NBOperation::ObservedCallDeleter::operator()(NBObservedCall* observed) const {
  delete observed;
}

namespace {

// Hands `event` to the observer and, at its level, to the sink.
void publish(CallEvent& event) {
  Listeners& l = listeners();
  std::function<void(const LogRecord&)> sink;
  std::shared_ptr<CallObserver> observer;
  LogLevel level;
  {
    std::lock_guard<std::mutex> lock(l.mutex);
    sink = l.sink;
    observer = l.observer;
    level = l.level;
  }
  event.time = std::chrono::system_clock::now();
  if (observer) {
    switch (event.kind) {
      case CallEventKind::kCallStart:
        observer->onCallStart(event);
        break;
      case CallEventKind::kRequestSent:
        observer->onRequestSent(event);
        break;
      case CallEventKind::kResponse:
        observer->onResponse(event);
        break;
      case CallEventKind::kCallEnd:
        observer->onCallEnd(event, *event.status);
        break;
    }
  }
  const LogLevel recordLevel = event.kind != CallEventKind::kCallEnd ? LogLevel::kDebug
                               : event.status->ok()                  ? LogLevel::kInfo
                                                                     : LogLevel::kError;
  if (sink && level != LogLevel::kOff && recordLevel <= level) sink(LogRecord{recordLevel, event});
}

}  // namespace

namespace {

// An event of the call under way, filled from what the operation keeps.
CallEvent eventOf(const NBObservedCall& o, CallEventKind kind, std::int64_t sent,
                  std::int64_t received, int httpStatus) {
  CallEvent event;
  event.kind = kind;
  event.operation = o.operation;
  event.requestId = o.requestId;
  event.method = o.method;
  event.hostRole = o.role;
  event.path = o.path;
  event.url = o.url;
  event.bytesSent = sent;
  event.bytesReceived = received;
  event.httpStatus = httpStatus;
  return event;
}

}  // namespace

void CallTrace::start(NBOperation& operation) {
  NBOperation::TraceState& t = operation._trace;
  t.inCall = true;
  t.callStart = SteadyClock::now();
  t.bytesSent = t.bytesReceived = 0;
  t.httpStatus = 0;
  t.observed.reset();
  add(counters().calls, 1);
  if (!listeners().observing.load(std::memory_order_relaxed)) return;
  t.observed.reset(new NBObservedCall{operationName(operation), {}, {}, {}, {}, {}});
  CallEvent event = eventOf(*t.observed, CallEventKind::kCallStart, 0, 0, 0);
  publish(event);
}

void CallTrace::requestSent(NBOperation& operation, URLRequest& request) {
  NBOperation::TraceState& t = operation._trace;
  t.requestStart = SteadyClock::now();
  t.bytesSent = request.hasHTTPBody() ? std::max<std::int64_t>(request.HTTPBodyLength(), 0) : 0;
  t.bytesReceived = 0;
  t.httpStatus = 0;
  add(counters().requests, 1);
  add(counters().bytesSent, static_cast<std::uint64_t>(t.bytesSent));
  if (!listeners().observing.load(std::memory_order_relaxed)) return;
  if (!t.observed) {
    t.observed.reset(new NBObservedCall{operationName(operation), {}, {}, {}, {}, {}});
  }
  NBObservedCall& o = *t.observed;
  o.requestId = nextRequestId();
  request.addValue(o.requestId, "X-Request-Id");
  o.method = request.HTTPMethod();
  const std::string_view url = request.URL();
  o.url = redacted(url);
  const auto hostStart = url.find("://");
  const auto hostFrom = hostStart == std::string_view::npos ? 0 : hostStart + 3;
  const auto pathStart = std::min(url.find('/', hostFrom), url.size());
  std::string_view host = url.substr(hostFrom, pathStart - hostFrom);
  host = host.substr(0, host.find(':'));
  o.role = hostRole(host);
  o.path = std::string(url.substr(pathStart, url.find('?', pathStart) - pathStart));
  CallEvent event = eventOf(o, CallEventKind::kRequestSent, t.bytesSent, 0, 0);
  publish(event);
}


void CallTrace::response(NBOperation& operation, int httpStatus) {
  NBOperation::TraceState& t = operation._trace;
  t.httpStatus = httpStatus;
  const auto latency = since(t.requestStart);
  Counters& c = counters();
  if (httpStatus >= 0 && static_cast<std::size_t>(httpStatus) < kHttpStatuses) {
    add(c.statuses[static_cast<std::size_t>(httpStatus)], 1);
  }
  const auto& bounds = Metrics::kLatencyBoundsMs;
  std::size_t bucket = 0;
  while (bucket < bounds.size() && latency > std::chrono::milliseconds(bounds[bucket])) ++bucket;
  add(c.latency[bucket], 1);
  if (!t.observed || !listeners().observing.load(std::memory_order_relaxed)) return;
  CallEvent event =
      eventOf(*t.observed, CallEventKind::kResponse, t.bytesSent, t.bytesReceived, httpStatus);
  event.duration = latency;
  publish(event);
}

void CallTrace::received(NBOperation& operation, std::size_t bytes) {
  operation._trace.bytesReceived += static_cast<std::int64_t>(bytes);
  add(counters().bytesReceived, bytes);
}

void CallTrace::end(NBOperation& operation, const Status& status) {
  NBOperation::TraceState& t = operation._trace;
  if (!t.inCall) return;
  t.inCall = false;
  if (!status.ok()) {
    add(counters().failedCalls, 1);
    add(counters().causes[static_cast<std::size_t>(status.code())], 1);
  }
  const auto observed = std::move(t.observed);
  if (!observed || !listeners().observing.load(std::memory_order_relaxed)) return;
  CallEvent event =
      eventOf(*observed, CallEventKind::kCallEnd, t.bytesSent, t.bytesReceived, t.httpStatus);
  event.duration = since(t.callStart);
  event.status = &status;
  publish(event);
}

void setLogSink(std::function<void(const LogRecord&)> sink, LogLevel level) {
  Listeners& l = listeners();
  std::lock_guard<std::mutex> lock(l.mutex);
  l.sink = std::move(sink);
  l.level = l.sink ? level : LogLevel::kOff;
  l.update();
}

void setCallObserver(std::shared_ptr<CallObserver> observer) {
  Listeners& l = listeners();
  std::lock_guard<std::mutex> lock(l.mutex);
  l.observer = std::move(observer);
  l.update();
}

Metrics metrics() {
  const Counters& c = counters();
  Metrics m;
  m.calls = c.calls;
  m.requests = c.requests;
  m.bytesSent = c.bytesSent;
  m.bytesReceived = c.bytesReceived;
  m.failedCalls = c.failedCalls;
  for (std::size_t i = 0; i < kCauses; ++i) {
    if (const std::uint64_t n = c.causes[i]) m.failuresByCause[static_cast<StatusCode>(i)] = n;
  }
  for (std::size_t i = 0; i < kHttpStatuses; ++i) {
    if (const std::uint64_t n = c.statuses[i]) m.responsesByHttpStatus[static_cast<int>(i)] = n;
  }
  for (std::size_t i = 0; i < m.latency.size(); ++i) m.latency[i] = c.latency[i];
  return m;
}

void resetMetrics() {
  Counters& c = counters();
  for (auto* counter : {&c.calls, &c.requests, &c.bytesSent, &c.bytesReceived, &c.failedCalls}) {
    *counter = 0;
  }
  for (auto& counter : c.causes) counter = 0;
  for (auto& counter : c.statuses) counter = 0;
  for (auto& counter : c.latency) counter = 0;
}

}  // namespace nb
