// What the library lets an application see of its calls without patching it:
// a log sink for its own logger, an observer for spans and metrics of its own,
// and counters the library keeps itself.
//
// Sink and observer are off by default and then cost nothing but one flag
// test per call: no record is formatted, no clock read for them, no header
// added. Set either from any thread; calls already running pick up the change
// at their next event. Both are called on the thread whose run loop runs the
// call, synchronously: return quickly and make no blocking call there. Every
// URL handed over has its signature, tokens and passwords redacted.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "nb/Status.h"

namespace nb {

enum class LogLevel { kOff = 0, kError, kWarning, kInfo, kDebug };

// The four moments of a call: it starts, each of its requests is sent (a call
// may make several: upload's two steps, three-legged sign-in), each response
// arrives, and it ends with one outcome (success, failure or cancel).
enum class CallEventKind { kCallStart, kRequestSent, kResponse, kCallEnd };

// One event of one call. The views stay valid during the callback only.
struct CallEvent {
  CallEventKind kind = CallEventKind::kCallStart;
  std::chrono::system_clock::time_point time;
  std::string_view operation;  // the operation's class, "NBUploadFileOperation"
  // Unique in the process; also sent to the service as "X-Request-Id" while a
  // sink or an observer is set. Empty before the call's first request.
  std::string_view requestId;
  std::string_view method;         // "GET", "POST"; empty before the first request
  std::string_view hostRole;       // "api", "content", "conversion", "web" or "other"
  std::string_view path;           // the URL's path, without the query
  std::string_view url;            // the whole URL, secrets redacted
  int httpStatus = 0;              // the response's status (kResponse, and after it)
  std::int64_t bytesSent = 0;      // the request's body
  std::int64_t bytesReceived = 0;  // the response's body so far
  // Since the request was sent (kResponse) or the call started (kCallEnd).
  std::chrono::microseconds duration{0};
  const Status* status = nullptr;  // kCallEnd: the outcome (ok for a success)
};

// A log record: an event with the level it is logged at (kCallEnd of a failed
// call at kError, the other ends at kInfo, the rest at kDebug).
struct LogRecord {
  LogLevel level = LogLevel::kDebug;
  const CallEvent& event;
};

// Sends the records at `level` and above to `sink`; a null sink (or kOff)
// turns logging off.
void setLogSink(std::function<void(const LogRecord&)> sink, LogLevel level = LogLevel::kInfo);

// An application's bridge to its tracing or metrics system. onCallStart and
// onCallEnd come exactly once per call (a cancel ends it with kCancelled);
// the other two once per request.
class CallObserver {
 public:
  virtual ~CallObserver() = default;
  virtual void onCallStart(const CallEvent& /*event*/) {}
  virtual void onRequestSent(const CallEvent& /*event*/) {}
  virtual void onResponse(const CallEvent& /*event*/) {}
  virtual void onCallEnd(const CallEvent& /*event*/, const Status& /*status*/) {}
};

// Hands every call's events to `observer` (shared: the library keeps it alive
// while it may call it); null removes it.
void setCallObserver(std::shared_ptr<CallObserver> observer);

// The counters the library keeps for every call, always.
struct Metrics {
  std::uint64_t calls = 0;
  std::uint64_t requests = 0;
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesReceived = 0;
  std::uint64_t failedCalls = 0;
  std::map<StatusCode, std::uint64_t> failuresByCause;  // failed and cancelled calls
  std::map<int, std::uint64_t> responsesByHttpStatus;
  // Request latencies, from sending to the response: bucket i counts those
  // up to kLatencyBoundsMs[i] milliseconds, the last bucket the rest.
  static constexpr std::array<int, 12> kLatencyBoundsMs = {1,   2,   5,   10,   20,   50,
                                                           100, 200, 500, 1000, 2000, 5000};
  std::array<std::uint64_t, kLatencyBoundsMs.size() + 1> latency{};
};

// A snapshot of the counters since the start of the process (or the last reset).
Metrics metrics();
void resetMetrics();

}  // namespace nb
