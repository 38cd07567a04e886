#include "server/RequestLog.h"

#include <array>
#include <chrono>
#include <ctime>

#include "nb/platform/AsciiText.h"
#include "server/JsonReply.h"
#include "server/RequestParameters.h"

namespace nb::server {
namespace {

// A query parameter whose value must not reach the log, its name compared
// decoded so that an escaped spelling is caught too.
bool isSecret(std::string_view encoded) {
  const std::string name = RequestParameters::decode(encoded, true).value_or(std::string(encoded));
  static constexpr std::array<std::string_view, 7> kSecrets{
      "oauth_signature", "oauth_token", "oauth_token_secret", "oauth_verifier",
      "password",        "passwd",      "x_auth_password"};
  const std::string lower = ascii::lowercase(name);
  for (const auto secret : kSecrets) {
    if (lower == secret) return true;
  }
  return false;
}

std::string utcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(millis));
  return text;
}

}  // namespace

std::string RequestLog::redact(const std::string& target) {
  const std::size_t question = target.find('?');
  if (question == std::string::npos) return target;
  std::string out = target.substr(0, question + 1);
  std::size_t at = question + 1;
  while (at <= target.size()) {
    const std::size_t end = std::min(target.find('&', at), target.size());
    const std::string pair = target.substr(at, end - at);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos && isSecret(pair.substr(0, equals))) {
      out += pair.substr(0, equals + 1) + "REDACTED";
    } else {
      out += pair;
    }
    if (end == target.size()) break;
    out += '&';
    at = end + 1;
  }
  return out;
}

std::string RequestLog::line(const Entry& entry) {
  JsonReply reply;
  reply.text("time", utcNow())
      .number("connection", static_cast<std::int64_t>(entry.connection))
      .text("host", entry.hostRole)
      .text("method", entry.method)
      .text("path", redact(entry.target))
      .text("user", entry.user)
      .number("status", entry.status)
      .number("bytes_in", static_cast<std::int64_t>(entry.bytesIn))
      .number("bytes_out", static_cast<std::int64_t>(entry.bytesOut))
      .number("duration_us", static_cast<std::int64_t>(entry.micros));
  if (!entry.fault.empty()) reply.text("fault", entry.fault);
  if (!entry.requestId.empty()) reply.text("request_id", entry.requestId);
  return reply.str() + "\n";
}

void RequestLog::record(const Entry& entry) {
  std::string text = line(entry);
  std::lock_guard<std::mutex> guard(mutex_);
  if (out_) {
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
  }
  kept_.push_back(std::move(text));
  if (kept_.size() > kKept) kept_.pop_front();
}

std::string RequestLog::recent() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string out;
  for (const auto& text : kept_) out += text;
  return out;
}

}  // namespace nb::server
