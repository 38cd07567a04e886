// NSStringHelper: percent-encoding, nonces and timestamps for request signing.
// Stateless; every function may run on any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace nb {

class NSStringHelper {
 public:
  // Percent-encodes the UTF-8 bytes of `s`: A-Z, a-z, 0-9, "-", ".", "_" and "~"
  // stay, every other byte becomes "%XX" (uppercase hex). Absent gives "".
  static std::string urlEncodeCovertString(std::optional<std::string_view> s);
  // The same encoding, appended to `out` (no temporary string).
  static void appendUrlEncoded(std::string& out, std::string_view s);

  // A fresh random UUID as 36 characters: uppercase hex in 8-4-4-4-12 groups.
  static std::string genericGUID();

  // Seconds since 1970-01-01 UTC, truncated toward zero, in decimal.
  static std::string timestamp();
  static std::string timestamp(std::chrono::system_clock::time_point now);
};

}  // namespace nb
