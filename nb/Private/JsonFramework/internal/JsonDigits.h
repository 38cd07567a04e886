// Decimal digits of 64-bit integers written a word at a time, for NBDecimal's text
// and the JSON writer's integers. Each writer may store up to 8 bytes past the
// end of the digits, which the caller's buffer must have room for.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace nb::detail {

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline constexpr std::uint64_t kPowers64[] = {1ull,
                                              10ull,
                                              100ull,
                                              1000ull,
                                              10000ull,
                                              100000ull,
                                              1000000ull,
                                              10000000ull,
                                              100000000ull,
                                              1000000000ull,
                                              10000000000ull,
                                              100000000000ull,
                                              1000000000000ull,
                                              10000000000000ull,
                                              100000000000000ull,
                                              1000000000000000ull,
                                              10000000000000000ull,
                                              100000000000000000ull,
                                              1000000000000000000ull,
                                              10000000000000000000ull};

// The number of decimal digits of v. A tree of comparisons rather than a computed
// logarithm: the count decides where the next text goes, and a predicted branch
// (a document's integers mostly repeat their lengths) keeps it off that chain.
inline int digitCount(std::uint64_t v) {
  if (v < 100000000) {
    if (v < 10000) return v < 100 ? 1 + (v >= 10) : 3 + (v >= 1000);
    return v < 1000000 ? 5 + (v >= 100000) : 7 + (v >= 10000000);
  }
  if (v < 10000000000000000ull) {
    if (v < 1000000000000ull) {
      return v < 10000000000ull ? 9 + (v >= 1000000000) : 11 + (v >= 100000000000ull);
    }
    return v < 100000000000000ull ? 13 + (v >= 10000000000000ull) : 15 + (v >= 1000000000000000ull);
  }
  if (v < 1000000000000000000ull) return 17 + (v >= 100000000000000000ull);
  return 19 + (v >= 10000000000000000000ull);
}

// The eight decimal digits of v < 10^8 as ASCII in a little-endian word, most
// significant digit first in memory: two lanes of four digits, then four lanes
// of two, then eight of one, each split by multiplying with a reciprocal.
inline std::uint64_t eightDigitText(std::uint32_t v) {
  std::uint64_t x = (v / 10000) | (static_cast<std::uint64_t>(v % 10000) << 32);
  std::uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007Full;  // lane / 100
  x = q | ((x - q * 100) << 16);
  q = ((x * 103) >> 10) & 0x000F000F000F000Full;  // lane / 10
  x = q | ((x - q * 10) << 8);
  return x + 0x3030303030303030ull;
}

// Writes exactly n digits of v < 10^8 (1 <= n <= 8), zero-padded on the left, as
// one word store: up to 8 bytes past the end may be overwritten.
inline char* writeUpTo8(std::uint64_t v, int n, char* out) {
  std::uint64_t text = eightDigitText(static_cast<std::uint32_t>(v));
  if constexpr (std::endian::native == std::endian::little) {
    text >>= 8 * (8 - n);
    std::memcpy(out, &text, 8);
  } else {
    char buffer[8];
    std::memcpy(buffer, &text, 8);
    std::memcpy(out, buffer + 8 - n, static_cast<std::size_t>(n));
  }
  return out + n;
}

// Writes exactly n digits of v (1 <= n <= 20), zero-padded on the left, with the
// same overwrite as writeUpTo8.
inline char* writeFixed(std::uint64_t v, int n, char* out) {
  if (n <= 8) return writeUpTo8(v, n, out);
  if (n <= 10) {
    // One or two leading digits from the pair table (a second byte that is not a
    // digit of the number is overwritten next), then eight.
    const std::uint64_t high = v / 100000000;
    const char* pair = kDigitPairs + 2 * high;
    out[0] = pair[10 - n];
    out[1] = pair[1];
    return writeUpTo8(v - high * 100000000, 8, out + (n - 8));
  }
  if (n > 16) {
    const std::uint64_t high = v / 10000000000000000ull;
    out = writeUpTo8(high, n - 16, out);
    v -= high * 10000000000000000ull;
    n = 16;
  }
  const std::uint64_t high = v / 100000000;
  out = writeUpTo8(high, n - 8, out);
  return writeUpTo8(v - high * 100000000, 8, out);
}

// Writes the digits of v at `out` and returns the end (same overwrite as writeFixed).
inline char* writeDigits(std::uint64_t v, char* out) { return writeFixed(v, digitCount(v), out); }

}  // namespace nb::detail
