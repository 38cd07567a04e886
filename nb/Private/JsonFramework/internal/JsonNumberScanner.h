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
#include "nb/Private/JsonFramework/internal/JsonWords.h"

namespace nb::detail {

struct JsonNumberScanner {
  static constexpr bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

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

  // Scans the number starting at `cursor` ('-' or a digit) into `out` and returns
  // the byte after it; on failure adds the error to `errors` and returns nullptr.
  static char* scanNumber(char* cursor, JsonNode& out, NBJsonBase& errors) {
    char* c = cursor;
    bool negative = false;
    if (*c == '-') {
      negative = true;
      ++c;
      if (!isDigit(*c)) return fail(errors, "No digits after initial minus");
    }
    std::uint64_t mantissa = 0;
    // Counts as long as the text: no clamping on the common path.
    std::size_t digits = 0;
    std::size_t fractionDigits = 0;
    if (*c == '0') {
      ++c;
      if (isDigit(*c)) return fail(errors, "Leading 0 disallowed in number");
    } else {
      const std::size_t n = scanDigits(c, mantissa);
      digits = n;
      c += n;
    }
    if (*c == '.') {
      ++c;
      // Leading zeros of a fraction count as digits here too: such a long number
      // merely takes the exact reader.
      const std::size_t n = scanDigits(c, mantissa);
      if (n == 0) return fail(errors, "No digits after decimal point");
      c += n;
      fractionDigits = n;
      digits += n;
    }
    long exponent = 0;
    if ((*c | 0x20) == 'e') {
      ++c;
      bool negativeExponent = false;
      if (*c == '+' || *c == '-') negativeExponent = *c++ == '-';
      if (!isDigit(*c)) return fail(errors, "No digits after exponent");
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
    return scanUnusualNumber(cursor, c, negative, digits, mantissa, total, out, errors);
  }

  // A number of more than 19 digits, or one whose exponent needs adjusting.
  static char* scanUnusualNumber(char* start, char* end, bool negative, std::size_t digits,
                                 std::uint64_t mantissa, long exponent, JsonNode& out,
                                 NBJsonBase& errors);
  [[gnu::cold]] static char* fail(NBJsonBase& errors, const char* message);
};

}  // namespace nb::detail
