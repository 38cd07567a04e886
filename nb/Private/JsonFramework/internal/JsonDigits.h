// Decimal digits of 64-bit integers written a pair at a time, for NBDecimal's text
// and the JSON writer's integers. Each writer may store up to 8 bytes past the
// end of the digits, which the caller's buffer must have room for.
#pragma once

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

// ceil(2^64 / 100^k). The product v * kPairScale[k], as 128 bits, holds v / 100^k
// in its high word and the rest as a 64-bit binary fraction.
inline constexpr std::uint64_t kPairScale[5] = {0, ~0ull / 100 + 1, ~0ull / 10000 + 1,
                                                ~0ull / 1000000 + 1, ~0ull / 100000000 + 1};

// Writes exactly n digits of v < 10^n (3 <= n <= 10), zero-padded on the left. One
// multiply puts the leading one or two digits in the high word; each multiply of
// the fraction by 100 brings the next pair up, from the pair table. Rounding the
// scale up errs by less than 10^n / 2^64 of a unit, which the pairs multiply by at
// most 100^4: below one unit of the last pair while 10^(n + 8) < 2^64, so every
// pair is exact. Each multiply needs only the one before, so the digits come after
// five multiplies instead of a chain of divisions. Always four pair steps, so no
// branch depends on n; up to 8 bytes past the end may be overwritten.
inline char* writeShort(std::uint64_t v, int n, char* out) {
  const int pairs = (n - 1) / 2;
  unsigned __int128 y = static_cast<unsigned __int128>(v) * kPairScale[pairs];
  const int odd = n & 1;  // one leading digit: the second byte of its pair
  std::memcpy(out, kDigitPairs + 2 * static_cast<std::uint64_t>(y >> 64) + odd, 2);
  out += 2 - odd;
  for (int i = 0; i < 4; ++i) {
    y = static_cast<unsigned __int128>(static_cast<std::uint64_t>(y)) * 100;
    std::memcpy(out + 2 * i, kDigitPairs + 2 * static_cast<std::uint64_t>(y >> 64), 2);
  }
  return out + 2 * pairs;
}

// Writes exactly n digits of v (1 <= n <= 20), zero-padded on the left: up to 8
// bytes past the end may be overwritten.
inline char* writeFixed(std::uint64_t v, int n, char* out) {
  if (n <= 10) {
    if (n >= 3) return writeShort(v, n, out);
    std::memcpy(out, kDigitPairs + 2 * v + (2 - n), 2);  // v < 100
    return out + n;
  }
  if (n > 16) {
    const std::uint64_t top = v / 10000000000000000ull;
    out = writeFixed(top, n - 16, out);
    v -= top * 10000000000000000ull;
    n = 16;
  }
  const std::uint64_t high = v / 100000000;
  out = writeShort(high, n - 8, out);
  return writeShort(v - high * 100000000, 8, out);
}

// Writes the digits of v at `out` and returns the end (same overwrite as writeFixed).
inline char* writeDigits(std::uint64_t v, char* out) { return writeFixed(v, digitCount(v), out); }

}  // namespace nb::detail
