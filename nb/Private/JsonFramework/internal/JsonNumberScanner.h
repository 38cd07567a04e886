// The JSON number scanner. Numbers of up to 19 significant digits whose exponent
// fits NBDecimal are read inline into a 64-bit mantissa, eight digits at a time;
// longer numbers and errors go to JsonNumberScanner.cpp, where the exact reader
// takes the text again.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/JsonFramework/NBDecimal.h"
#include "nb/Private/JsonFramework/NBJsonBase.h"
#include "nb/Private/JsonFramework/internal/JsonDigits.h"
#include "nb/Private/JsonFramework/internal/JsonWords.h"

namespace nb::detail {

#if defined(__SSE2__)
// The inverse of 5^k modulo 2^64 (5 is odd, so it has one): multiplying by it
// divides a multiple of 5^k exactly.
constexpr std::uint64_t inverseOfPowerOf5(int k) {
  std::uint64_t a = 1;
  for (int i = 0; i < k; ++i) a *= 5;
  std::uint64_t x = a;  // right in the lowest 3 bits; each step doubles that
  for (int i = 0; i < 5; ++i) x *= 2 - a * x;
  return x;
}
struct InverseTable {
  std::uint64_t inverse[17] = {};
  constexpr InverseTable() {
    for (int k = 0; k <= 16; ++k) inverse[k] = inverseOfPowerOf5(k);
  }
};
inline constexpr InverseTable kInverses{};
// 16 set bytes, then 16 clear ones: the 16 bytes at kPrefix + 16 - n keep the
// first n lanes of a block.
inline constexpr unsigned char kPrefix[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
#endif

struct JsonNumberScanner {
  static constexpr bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }
  static constexpr bool isNumberStart(char c) { return isDigit(c) || c == '-'; }

  // Reads the run of decimal digits at `p` into `mantissa` (wrapping silently past
  // 19 digits, which the caller checks) and returns its length. Reads whole words,
  // so 7 bytes past the run must be readable.
  static std::size_t scanDigits(const char* p, std::uint64_t& mantissa) {
    static constexpr std::uint64_t kPowersOf10[] = {1,      10,      100,      1000,     10000,
                                                    100000, 1000000, 10000000, 100000000};
    const char* const start = p;
    for (;;) {
      const std::uint64_t digits = loadWord(p) - broadcast('0');
      const std::uint64_t marks = nonDigitMarks(digits);
      if (marks == 0) {
        mantissa = mantissa * 100000000 + eightDigitValue(digits);
        p += 8;
        continue;
      }
      const unsigned count = leadingZeroBytes(marks);
      if (count != 0) {
        // Shift the digits to the top of the word: the zero bytes below read as
        // leading zeros.
        mantissa = mantissa * kPowersOf10[count] + eightDigitValue(digits << (64 - 8 * count));
        p += count;
      }
      return static_cast<std::size_t>(p - start);
    }
  }

  // scanDigits for the whole part of a number, which starts with a digit other
  // than 0 and mostly ends within the first word: that word is read with nothing
  // before it to scale.
  static std::size_t scanWholeDigits(const char* p, std::uint64_t& mantissa) {
    const std::uint64_t digits = loadWord(p) - broadcast('0');
    const std::uint64_t marks = nonDigitMarks(digits);
    if (marks == 0) {
      mantissa = 0;
      return scanDigits(p, mantissa);
    }
    const unsigned count = leadingZeroBytes(marks);  // at least 1
    mantissa = eightDigitValue(digits << (64 - 8 * count));
    return count;
  }

#if defined(__SSE2__)
  // scanDigits for a run that mostly ends within 16 bytes, such as a fraction: the
  // block is classified at once, so the end takes one step instead of one per
  // word, and its digits are valued in vector lanes: pairs, fours, then eights.
  // The digits after the run count as zeros there, and the exact quotient by
  // their power of ten (a shift for the 2^k, an inverse for the 5^k) removes them.
  static std::size_t scanDigitBlock(const char* p, std::uint64_t& mantissa) {
    const __m128i d =
        _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8('0'));
    const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
    // The mask has 16 bits, so its complement is never 0.
    const unsigned n =
        static_cast<unsigned>(__builtin_ctz(~static_cast<unsigned>(_mm_movemask_epi8(isDigit))));
    if (n == 16) return scanDigits(p, mantissa);  // a longer run: word by word
    const __m128i digits =
        _mm_and_si128(d, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPrefix + 16 - n)));
    const __m128i zero = _mm_setzero_si128();
    const __m128i tens = _mm_set_epi16(1, 10, 1, 10, 1, 10, 1, 10);
    const __m128i pairs = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(digits, zero), tens),
                                          _mm_madd_epi16(_mm_unpackhi_epi8(digits, zero), tens));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_set_epi16(1, 100, 1, 100, 1, 100, 1, 100));
    const __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours),
                                          _mm_set_epi16(1, 10000, 1, 10000, 1, 10000, 1, 10000));
    const auto high = static_cast<std::uint32_t>(_mm_cvtsi128_si32(eights));
    const auto low = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(eights, 4)));
    const std::uint64_t padded = std::uint64_t{high} * 100000000 + low;
    const unsigned k = 16 - n;
    mantissa = mantissa * kPowers64[n] + (padded >> k) * kInverses.inverse[k];
    return n;
  }
#endif

  // Scans the number starting at `cursor` ('-' or a digit) into `out` and returns
  // the byte after it; on failure adds the error to `errors` and returns nullptr.
  // With kQuiet, any number that is not read inline (errors, and numbers of more
  // than 19 digits or with an exponent out of range) returns nullptr at once,
  // adding nothing, so that the caller can take it again the usual way.
  template <bool kQuiet = false>
  static char* scanNumber(char* cursor, JsonNode& out, NBJsonBase& errors) {
    char* c = cursor;
    bool negative = false;
    if (*c == '-') {
      negative = true;
      ++c;
      if (!isDigit(*c)) return failed<kQuiet>(errors, "No digits after initial minus");
    }
    std::uint64_t mantissa = 0;
    // Counts as long as the text: no clamping on the common path.
    std::size_t digits = 0;
    std::size_t fractionDigits = 0;
    if (*c == '0') {
      ++c;
      if (isDigit(*c)) return failed<kQuiet>(errors, "Leading 0 disallowed in number");
    } else {
      const std::size_t n = scanWholeDigits(c, mantissa);
      digits = n;
      c += n;
    }
    if (*c == '.') {
      ++c;
      // Leading zeros of a fraction count as digits here too: such a long number
      // merely takes the exact reader.
#if defined(__SSE2__)
      const std::size_t n = scanDigitBlock(c, mantissa);
#else
      const std::size_t n = scanDigits(c, mantissa);
#endif
      if (n == 0) return failed<kQuiet>(errors, "No digits after decimal point");
      c += n;
      fractionDigits = n;
      digits += n;
    }
    long exponent = 0;
    if ((*c | 0x20) == 'e') {
      ++c;
      bool negativeExponent = false;
      if (*c == '+' || *c == '-') negativeExponent = *c++ == '-';
      if (!isDigit(*c)) return failed<kQuiet>(errors, "No digits after exponent");
      do {
        if (exponent < 100000000) exponent = exponent * 10 + (*c - '0');
        ++c;
      } while (isDigit(*c));
      if (negativeExponent) exponent = -exponent;
    }

    const long total = exponent - static_cast<long>(fractionDigits);
    if (digits <= 19 && total >= NBDecimal::kMinExponent && total <= NBDecimal::kMaxExponent)
        [[likely]] {
      // NBDecimal::fromSmall, written as the words of the node.
      static_assert(offsetof(NBDecimal, lo_) == 0 && offsetof(NBDecimal, hi_) == 8 &&
                    offsetof(NBDecimal, exponent_) == 16 && offsetof(NBDecimal, negative_) == 18);
      const std::uint64_t meta = mantissa == 0 ? 0
                                               : static_cast<std::uint16_t>(total) |
                                                     (static_cast<std::uint64_t>(negative) << 16);
      storeNode(&out, {{mantissa, 0, meta, static_cast<std::uint64_t>(JsonType::Number)}});
      return c;
    }
    if constexpr (kQuiet) {
      return nullptr;
    } else {
      return scanUnusualNumber(cursor, c, negative, digits, mantissa, total, out, errors);
    }
  }

  // A number of more than 19 digits, or one whose exponent needs adjusting.
  static char* scanUnusualNumber(char* start, char* end, bool negative, std::size_t digits,
                                 std::uint64_t mantissa, long exponent, JsonNode& out,
                                 NBJsonBase& errors);
  [[gnu::cold]] static char* fail(NBJsonBase& errors, const char* message);
  template <bool kQuiet>
  static char* failed(NBJsonBase& errors, const char* message) {
    if constexpr (kQuiet) {
      return nullptr;
    } else {
      return fail(errors, message);
    }
  }
};

}  // namespace nb::detail
