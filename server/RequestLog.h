// RequestLog: one JSON line per request served (time, connection, host role,
// method, target, user, status, bytes, duration, fault, X-Request-Id), written
// to a file or standard output as it happens and the last thousand kept for
// the admin API. Signatures, tokens and passwords in the target are redacted.
// Thread-safe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

namespace nb::server {

class RequestLog {
 public:
  static constexpr std::size_t kKept = 1000;

  struct Entry {
    std::uint64_t connection = 0;
    std::string hostRole, method, target, user, requestId, fault;
    int status = 0;
    std::uint64_t bytesIn = 0, bytesOut = 0, micros = 0;
  };

  // `out` may be null (kept only); it is not closed here.
  explicit RequestLog(std::FILE* out = nullptr) : out_(out) {}

  void record(const Entry& entry);
  // The lines kept, oldest first, each ending in a newline.
  std::string recent() const;

  // `target` with the values of secret query parameters (signatures, tokens,
  // passwords) replaced by "REDACTED".
  static std::string redact(const std::string& target);
  static std::string line(const Entry& entry);

 private:
  std::FILE* out_;
  mutable std::mutex mutex_;
  std::deque<std::string> kept_;
};

}  // namespace nb::server
