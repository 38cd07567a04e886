// NSStringHelper: percent-encoding, nonces and timestamps for request signing.
// Stateless; every function may run on any thread.
#pragma once

#include <chrono>
#include <cstddef>
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
  // The length of the encoding of `s`, and the encoding written at `out`
  // (which must have room for that many bytes); returns the end of the written text.
  static std::size_t urlEncodedLength(std::string_view s);
  static char* writeUrlEncoded(char* out, std::string_view s);
  // The encoding of the encoding of `s` (an escape "%XX" becomes "%25XX"),
  // written at `out`, which must have room for 5 bytes per byte of `s`.
  static char* writeUrlEncodedTwice(char* out, std::string_view s);

  // A fresh random UUID as 36 characters: uppercase hex in 8-4-4-4-12 groups.
  // Random bytes are drawn from the kernel's generator in batches per thread;
  // a forked child never reuses a batch its parent had drawn.
  static std::string genericGUID();
  static void genericGUID(char (&out)[36]);

  // Seconds since 1970-01-01 UTC, truncated toward zero, in decimal.
  static std::string timestamp();
  static std::string timestamp(std::chrono::system_clock::time_point now);
};

}  // namespace nb
