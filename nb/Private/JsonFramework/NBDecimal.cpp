#include "nb/Private/JsonFramework/NBDecimal.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "nb/Private/JsonFramework/internal/JsonDigits.h"

namespace nb {
namespace {

using detail::digitCount;
using detail::kDigitPairs;
using detail::kPowers64;
using detail::writeDigits;
using detail::writeFixed;

using u128 = unsigned __int128;

constexpr u128 pow10_128(int n) {
  u128 v = 1;
  while (n-- > 0) v *= 10;
  return v;
}
constexpr u128 kMantissaLimit = pow10_128(NBDecimal::kMaxDigits);  // 10^38

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Mantissa and exponent with every trailing zero moved into the exponent.
struct Normal {
  bool negative;
  u128 mantissa;
  int exponent;
};
Normal normalOf(const NBDecimal& d) {
  Normal n{d.isNegative(), d.mantissa(), d.exponent()};
  if (n.mantissa == 0) return {false, 0, 0};
  while (n.mantissa % 10 == 0) {
    n.mantissa /= 10;
    ++n.exponent;
  }
  return n;
}

// The magnitude when the value is an integer no larger than 2^64, else nullopt.
std::optional<u128> integerMagnitude(const NBDecimal& d) {
  const Normal n = normalOf(d);
  if (n.exponent < 0) return std::nullopt;
  u128 m = n.mantissa;
  const u128 cap = static_cast<u128>(1) << 64;
  if (m > cap) return std::nullopt;
  for (int i = 0; i < n.exponent; ++i) {
    m *= 10;
    if (m > cap) return std::nullopt;
  }
  return m;
}

// Writes the decimal digits of v ending just before `end`; returns the first digit.
char* digitsBackward(std::uint64_t v, char* end) {
  while (v >= 100) {
    const unsigned pair = static_cast<unsigned>(v % 100) * 2;
    v /= 100;
    *--end = kDigitPairs[pair + 1];
    *--end = kDigitPairs[pair];
  }
  if (v >= 10) {
    const unsigned pair = static_cast<unsigned>(v) * 2;
    *--end = kDigitPairs[pair + 1];
    *--end = kDigitPairs[pair];
  } else {
    *--end = static_cast<char>('0' + v);
  }
  return end;
}

char* digitsBackward(u128 v, char* end) {
  constexpr std::uint64_t kChunk = 10000000000000000000ull;  // 10^19
  while (v >> 64) {
    std::uint64_t low = static_cast<std::uint64_t>(v % kChunk);
    v /= kChunk;
    for (int i = 0; i < 19; ++i) {
      *--end = static_cast<char>('0' + low % 10);
      low /= 10;
    }
  }
  return digitsBackward(static_cast<std::uint64_t>(v), end);
}

}  // namespace

std::optional<NBDecimal> NBDecimal::fromParts(bool negative, u128 mantissa, int exponent) {
  if (mantissa == 0) return NBDecimal();
  while (mantissa >= kMantissaLimit && mantissa % 10 == 0) {
    mantissa /= 10;
    ++exponent;
  }
  if (mantissa >= kMantissaLimit) return std::nullopt;
  while (exponent > kMaxExponent) {
    if (mantissa * 10 >= kMantissaLimit) return std::nullopt;
    mantissa *= 10;
    --exponent;
  }
  while (exponent < kMinExponent) {
    if (mantissa % 10 != 0) return std::nullopt;
    mantissa /= 10;
    ++exponent;
  }
  NBDecimal d;
  d.lo_ = static_cast<std::uint64_t>(mantissa);
  d.hi_ = static_cast<std::uint64_t>(mantissa >> 64);
  d.exponent_ = static_cast<std::int16_t>(exponent);
  d.negative_ = negative;
  return d;
}

std::optional<NBDecimal> NBDecimal::fromString(std::string_view t) {
  std::size_t i = 0;
  const std::size_t n = t.size();
  bool negative = false;
  if (i < n && t[i] == '-') {
    negative = true;
    ++i;
  }
  if (i >= n || !isDigit(t[i])) return std::nullopt;

  // Zeros after the last non-zero digit wait in `pendingZeros`, so that a long
  // run of trailing zeros costs no mantissa digits.
  u128 mantissa = 0;
  long long digits = 0, pendingZeros = 0, fractionDigits = 0;
  bool inexact = false;
  auto addDigit = [&](char c) {
    if (c == '0') {
      if (digits > 0) ++pendingZeros;
      return;
    }
    if (digits + pendingZeros + 1 > kMaxDigits) {
      inexact = true;
      return;
    }
    for (; pendingZeros > 0; --pendingZeros) mantissa *= 10;
    mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
    digits = 0;
    for (u128 m = mantissa; m != 0; m /= 10) ++digits;
  };

  if (t[i] == '0') {
    ++i;
  } else {
    while (i < n && isDigit(t[i])) addDigit(t[i++]);
  }
  if (i < n && t[i] == '.') {
    ++i;
    if (i >= n || !isDigit(t[i])) return std::nullopt;
    while (i < n && isDigit(t[i])) {
      addDigit(t[i++]);
      ++fractionDigits;
    }
  }
  long long exponent = 0;
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < n && (t[i] == '+' || t[i] == '-')) negativeExponent = t[i++] == '-';
    if (i >= n || !isDigit(t[i])) return std::nullopt;
    while (i < n && isDigit(t[i])) {
      if (exponent < 1000000000) exponent = exponent * 10 + (t[i] - '0');
      ++i;
    }
    if (negativeExponent) exponent = -exponent;
  }
  if (i != n || inexact) return std::nullopt;
  if (mantissa == 0) return NBDecimal();
  const long long total = exponent - fractionDigits + pendingZeros;
  if (total > 100000 || total < -100000) return std::nullopt;
  return fromParts(negative, mantissa, static_cast<int>(total));
}

std::optional<NBDecimal> NBDecimal::fromDouble(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return fromString(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

std::optional<std::int32_t> NBDecimal::toInt32() const {
  const auto v = toInt64();
  if (!v || *v < std::numeric_limits<std::int32_t>::min() ||
      *v > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*v);
}

std::optional<std::int64_t> NBDecimal::toInt64() const {
  const auto m = integerMagnitude(*this);
  if (!m) return std::nullopt;
  const u128 limit = static_cast<u128>(1) << 63;
  if (negative_) {
    if (*m > limit) return std::nullopt;
    return static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(*m));
  }
  if (*m >= limit) return std::nullopt;
  return static_cast<std::int64_t>(*m);
}

std::optional<std::uint64_t> NBDecimal::toUInt64() const {
  const auto m = integerMagnitude(*this);
  if (!m || (negative_ && *m != 0) || (*m >> 64) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(*m);
}

double NBDecimal::toDouble() const {
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  double value;
  if (hi_ == 0 && lo_ < (1ull << 53) && exponent_ >= -22 && exponent_ <= 22) {
    // Both factors are exact doubles, so one rounding gives the nearest value.
    value = static_cast<double>(lo_);
    value = exponent_ < 0 ? value / kPowers[-exponent_] : value * kPowers[exponent_];
  } else {
    char text[80];
    char* end = text + sizeof text;
    char* p = digitsBackward(mantissa(), end - 8);
    const std::size_t len = static_cast<std::size_t>(end - 8 - p);
    std::memmove(text, p, len);
    char* e = text + len;
    *e++ = 'e';
    e = std::to_chars(e, text + sizeof text, static_cast<int>(exponent_)).ptr;
    std::from_chars(text, e, value);
  }
  return negative_ ? -value : value;
}

namespace {

// Lays out `count` digits at `first` scaled by 10^e as plain decimal text.
char* layOut(const char* first, int count, int e, char* out) {
  if (e >= 0) {
    std::memcpy(out, first, static_cast<std::size_t>(count));
    out += count;
    std::memset(out, '0', static_cast<std::size_t>(e));
    return out + e;
  }
  const int fraction = -e;
  if (count > fraction) {
    const int whole = count - fraction;
    std::memcpy(out, first, static_cast<std::size_t>(whole));
    out += whole;
    *out++ = '.';
    std::memcpy(out, first + whole, static_cast<std::size_t>(fraction));
    return out + fraction;
  }
  *out++ = '0';
  *out++ = '.';
  std::memset(out, '0', static_cast<std::size_t>(fraction - count));
  out += fraction - count;
  std::memcpy(out, first, static_cast<std::size_t>(count));
  return out + count;
}

}  // namespace

char* NBDecimal::writeTo(char* out) const {
  if (hi_ == 0 && lo_ == 0) {
    *out++ = '0';
    return out;
  }
  if (negative_) *out++ = '-';
  int e = exponent_;
  if (hi_ == 0) {
    // The common case, in 64-bit arithmetic and written in place.
    std::uint64_t m = lo_;
    while (e < 0 && m % 10 == 0) {
      m /= 10;
      ++e;
    }
    if (e == 0) return writeDigits(m, out);
    if (e < 0 && e >= -19) {
      const std::uint64_t scale = kPowers64[-e];
      const std::uint64_t whole = m / scale;
      out = writeDigits(whole, out);
      *out++ = '.';
      return writeFixed(m - whole * scale, -e, out);
    }
  }
  char digits[48];
  char* const end = digits + sizeof digits;
  u128 m = mantissa();
  e = exponent_;
  while (e < 0 && m % 10 == 0) {
    m /= 10;
    ++e;
  }
  const char* first = digitsBackward(m, end);
  return layOut(first, static_cast<int>(end - first), e, out);
}

std::string NBDecimal::toString() const {
  char buffer[maxTextLength()];
  return std::string(buffer, writeTo(buffer));
}

bool operator==(const NBDecimal& a, const NBDecimal& b) {
  if (a.exponent_ == b.exponent_) {
    return a.lo_ == b.lo_ && a.hi_ == b.hi_ && a.negative_ == b.negative_;
  }
  const Normal x = normalOf(a), y = normalOf(b);
  return x.negative == y.negative && x.mantissa == y.mantissa && x.exponent == y.exponent;
}

}  // namespace nb
