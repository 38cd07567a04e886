// NBDecimal is an exact decimal number: a sign, a mantissa of at most 38 decimal
// digits and a power-of-ten exponent from -128 to 127. It is what the JSON parser
// makes of a number's text, so no digit of the text is lost. A plain value
// (24 bytes, trivially copyable); any thread may use its own copies.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nb {

namespace detail {
struct JsonNumberScanner;
}

class NBDecimal {
 public:
  static constexpr int kMaxDigits = 38;
  static constexpr int kMinExponent = -128;
  static constexpr int kMaxExponent = 127;

  constexpr NBDecimal() noexcept : lo_(0), hi_(0), exponent_(0), negative_(false) {}
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  NBDecimal(T value) noexcept : NBDecimal() {
    if constexpr (std::is_signed_v<T>) {
      const auto v = static_cast<std::int64_t>(value);
      negative_ = v < 0;
      lo_ = negative_ ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    } else {
      lo_ = static_cast<std::uint64_t>(value);
    }
  }
  NBDecimal(double) = delete;  // binary floating point is not exact: use fromDouble

  // The value of a JSON number's text ("-0.5e3", "42"), or nullopt when the text
  // is not a JSON number or its value needs more than 38 digits or an exponent
  // outside -128..127.
  static std::optional<NBDecimal> fromString(std::string_view text);
  // mantissa * 10^exponent, negated when `negative`; brought into range by moving
  // zeros between mantissa and exponent, or nullopt when that is impossible.
  static std::optional<NBDecimal> fromParts(bool negative, unsigned __int128 mantissa,
                                            int exponent);
  // The shortest decimal that reads back as `value`; nullopt for NaN and the
  // infinities, which this type cannot hold.
  static std::optional<NBDecimal> fromDouble(double value);

  bool isNegative() const { return negative_; }
  bool isZero() const { return lo_ == 0 && hi_ == 0; }
  int exponent() const { return exponent_; }
  unsigned __int128 mantissa() const {
    return (static_cast<unsigned __int128>(hi_) << 64) | lo_;
  }

  // nullopt unless the value is an integer within the type's range.
  std::optional<std::int32_t> toInt32() const;
  std::optional<std::int64_t> toInt64() const;
  std::optional<std::uint64_t> toUInt64() const;
  // The nearest double.
  double toDouble() const;
  // Plain decimal text without exponent: "42", "3.5", "-500", "0.001".
  std::string toString() const;
  // Writes toString() at `out` without a temporary and returns its end. Needs
  // maxTextLength() bytes of room (the text itself plus slack for word stores).
  char* writeTo(char* out) const;
  static constexpr std::size_t maxTextLength() { return 1 + kMaxDigits + 2 + 130 + 8; }

  friend bool operator==(const NBDecimal& a, const NBDecimal& b);

 private:
  std::uint64_t lo_, hi_;  // mantissa, below 10^38
  std::int16_t exponent_;
  bool negative_;          // never set for zero

  friend struct detail::JsonNumberScanner;
  // For mantissas the caller knows to be in range (fewer than 20 digits).
  static NBDecimal fromSmall(bool negative, std::uint64_t mantissa, int exponent) {
    NBDecimal d;
    d.lo_ = mantissa;
    d.exponent_ = static_cast<std::int16_t>(mantissa == 0 ? 0 : exponent);
    d.negative_ = negative && mantissa != 0;
    return d;
  }
};

}  // namespace nb
