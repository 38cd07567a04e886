#include "cli/CallLog.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "nb/Observability.h"

namespace nb::cli {
namespace {

LogLevel levelFromEnvironment() {
  const char* text = std::getenv("NB_LOG");
  const std::string_view name = text != nullptr ? text : "";
  if (name == "error") return LogLevel::kError;
  if (name == "warning") return LogLevel::kWarning;
  if (name == "info") return LogLevel::kInfo;
  if (name == "debug") return LogLevel::kDebug;
  return LogLevel::kOff;
}

const char* levelName(LogLevel level) {
  switch (level) {
    case LogLevel::kError:
      return "error";
    case LogLevel::kWarning:
      return "warning";
    case LogLevel::kInfo:
      return "info";
    default:
      return "debug";
  }
}

void print(const LogRecord& record) {
  const CallEvent& e = record.event;
  std::string line =
      std::string("nb: [") + levelName(record.level) + "] " + std::string(e.operation);
  if (!e.requestId.empty()) line += " " + std::string(e.requestId);
  switch (e.kind) {
    case CallEventKind::kCallStart:
      line += " started";
      break;
    case CallEventKind::kRequestSent:
      line += " " + std::string(e.method) + " " + std::string(e.url);
      if (e.bytesSent > 0) line += " (" + std::to_string(e.bytesSent) + " B)";
      break;
    case CallEventKind::kResponse:
      line += " <- " + std::to_string(e.httpStatus) + " from " + std::string(e.hostRole) + " in " +
              std::to_string(e.duration.count() / 1000) + " ms";
      break;
    case CallEventKind::kCallEnd:
      line += (e.status->ok() ? " ok"
                              : " failed (" + std::string(statusCodeName(e.status->code())) + ": " +
                                    e.status->message() + ")") +
              " " + std::string(e.method) + " " + std::string(e.path) + " in " +
              std::to_string(e.duration.count() / 1000) + " ms, " + std::to_string(e.bytesSent) +
              " B up, " + std::to_string(e.bytesReceived) + " B down";
      break;
  }
  line += "\n";
  std::fputs(line.c_str(), stderr);
}

}  // namespace

void CallLog::install(int verbose) {
  LogLevel level = verbose >= 2   ? LogLevel::kDebug
                   : verbose == 1 ? LogLevel::kInfo
                                  : LogLevel::kOff;
  if (const LogLevel named = levelFromEnvironment(); named > level) level = named;
  if (level != LogLevel::kOff) setLogSink(print, level);
}

}  // namespace nb::cli
