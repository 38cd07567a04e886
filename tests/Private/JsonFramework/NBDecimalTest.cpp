#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "nb/Private/JsonFramework/NBDecimal.h"
#include "nb/Private/JsonFramework/internal/JsonDigits.h"

namespace nb {
namespace {

TEST(NBDecimalTest, FromStringAndBack) {
  const struct {
    const char* text;
    std::optional<std::string> plain;  // nullopt: not accepted
  } cases[] = {
      {"42", "42"},
      {"3.5", "3.5"},
      {"-0.5e3", "-500"},
      {"-0", "0"},
      {"0.000", "0"},
      {"1.50", "1.5"},
      {"0.001", "0.001"},
      {"-0.05", "-0.05"},
      {"123.456", "123.456"},
      {"-121.06795611062548", "-121.06795611062548"},
      {"9.9e-18", "0.0000000000000000099"},
      {"1e-19", "0.0000000000000000001"},
      {"1e-20", "0.00000000000000000001"},
      {"1.8446744073709551615", "1.8446744073709551615"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "18446744073709551616"},
      {"9999999999", "9999999999"},
      {"90000000000000000e-128", "0." + std::string(111, '0') + "9"},
      {"-25e-40", "-0." + std::string(38, '0') + "25"},
      {"10000000000", "10000000000"},
      {"1e2", "100"},
      {"12.5E-1", "1.25"},
      {"-1.5e+1", "-15"},
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678"},
      {"1234567890123456789012345678901234567.8", "1234567890123456789012345678901234567.8"},
      // Zeros beyond 38 digits cost nothing when they only scale the value.
      {"100000000000000000000000000000000000000000", "100000000000000000000000000000000000000000"},
      {"1.0000000000000000000000000000000000000000000", "1"},
      {"1e127", std::nullopt},  // filled in below
      {"10e127", std::nullopt},
      {"1000e-130", "0.0000000000000000000000000000000000000000000000000000000000000000000000000"
                    "000000000000000000000000000000000000000000000000000001"},
      {"123456789012345678901234567890123456789", std::nullopt},  // 39 significant digits
      {"1e-129", std::nullopt},
      {"99999999999999999999999999999999999999e128", std::nullopt},
      {"1e99999999999999999999", std::nullopt},
      {"0e99999999999999999999", "0"},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+1", std::nullopt},
      {"01", std::nullopt},
      {"1.", std::nullopt},
      {".5", std::nullopt},
      {"1e", std::nullopt},
      {"1 ", std::nullopt},
      {"0x10", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto d = NBDecimal::fromString(c.text);
    const std::string text = c.text;
    if (text == "1e127" || text == "10e127") {
      ASSERT_TRUE(d) << text;
      EXPECT_EQ(d->toString(), (text == "1e127" ? "1" : "10") + std::string(127, '0'));
      continue;
    }
    if (!c.plain) {
      EXPECT_FALSE(d) << text;
      continue;
    }
    ASSERT_TRUE(d) << text;
    EXPECT_EQ(d->toString(), *c.plain) << text;
    // The plain text reads back as the same value.
    EXPECT_EQ(NBDecimal::fromString(d->toString()), d) << text;
  }
}

// Integers on both sides of every power of ten, where the digit count changes,
// as a value and as the whole part of a fraction.
TEST(NBDecimalTest, EveryDigitCount) {
  std::vector<std::uint64_t> values = {0, std::numeric_limits<std::uint64_t>::max()};
  for (std::uint64_t power = 10; power <= 10000000000000000000ull / 10; power *= 10) {
    values.insert(values.end(), {power - 1, power, power * 10 - 1});
  }
  values.push_back(10000000000000000000ull);
  for (const std::uint64_t v : values) {
    EXPECT_EQ(NBDecimal(v).toString(), std::to_string(v)) << v;
    const auto fraction = NBDecimal::fromString(std::to_string(v) + ".25");
    ASSERT_TRUE(fraction) << v;
    EXPECT_EQ(fraction->toString(), std::to_string(v) + ".25");
  }
}

// The digit writer behind both, at every width it zero-pads to: values at the
// edges of each digit count, where a scaled multiply would first round wrongly,
// and random ones. Bytes it may overwrite past the end are checked to stay there.
TEST(NBDecimalTest, DigitWriterAtEveryWidth) {
  std::vector<std::uint64_t> values = {0, 1, 9, 99, std::numeric_limits<std::uint64_t>::max()};
  for (std::uint64_t power = 10; power <= 10000000000000000000ull / 10; power *= 10) {
    values.insert(values.end(), {power - 1, power, power + 1, power * 10 - 1, power / 2 * 9});
  }
  std::mt19937_64 random(21);
  for (int i = 0; i < 20000; ++i) values.push_back(random() >> (random() % 64));
  for (const std::uint64_t v : values) {
    const std::string digits = std::to_string(v);
    char out[40];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(std::string(out, detail::writeDigits(v, out)), digits);
    for (int width = static_cast<int>(digits.size()); width <= 20; ++width) {
      std::memset(out, '#', sizeof out);
      char* end = detail::writeFixed(v, width, out);
      ASSERT_EQ(std::string(out, end), std::string(width - digits.size(), '0') + digits)
          << v << " in " << width;
      const std::string untouched(end + 8, out + sizeof out);
      EXPECT_EQ(untouched, std::string(untouched.size(), '#')) << v << " in " << width;
    }
  }
}

TEST(NBDecimalTest, Equality) {
  const auto d = [](const char* text) { return *NBDecimal::fromString(text); };
  EXPECT_EQ(d("1.50"), d("1.5"));
  EXPECT_EQ(d("100"), d("1e2"));
  EXPECT_EQ(d("-0"), d("0"));
  EXPECT_EQ(d("0e5"), NBDecimal());
  EXPECT_EQ(d("-500"), NBDecimal(-500));
  EXPECT_NE(d("1.5"), d("-1.5"));
  EXPECT_NE(d("1.5"), d("15"));
  EXPECT_NE(d("1"), d("1.0000000000000000000000000000000000001"));
}

TEST(NBDecimalTest, IntegerConversions) {
  const auto d = [](const char* text) { return *NBDecimal::fromString(text); };
  EXPECT_EQ(d("42").toInt32(), 42);
  EXPECT_EQ(d("4.2e1").toInt32(), 42);
  EXPECT_EQ(d("-2147483648").toInt32(), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(d("2147483648").toInt32(), std::nullopt);
  EXPECT_EQ(d("4.5").toInt32(), std::nullopt);
  EXPECT_EQ(d("9223372036854775807").toInt64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(d("-9223372036854775808").toInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(d("9223372036854775808").toInt64(), std::nullopt);
  EXPECT_EQ(d("-9223372036854775809").toInt64(), std::nullopt);
  EXPECT_EQ(d("18446744073709551615").toUInt64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(d("18446744073709551616").toUInt64(), std::nullopt);
  EXPECT_EQ(d("-1").toUInt64(), std::nullopt);
  EXPECT_EQ(d("-0").toUInt64(), 0u);
  EXPECT_EQ(d("1e30").toInt64(), std::nullopt);
  EXPECT_EQ(d("1.0").toInt64(), 1);
  EXPECT_EQ(NBDecimal(std::numeric_limits<std::int64_t>::min()).toInt64(),
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(NBDecimal(std::numeric_limits<std::uint64_t>::max()).toString(),
            "18446744073709551615");
  EXPECT_EQ(NBDecimal(-7).toString(), "-7");
}

TEST(NBDecimalTest, Doubles) {
  const auto d = [](const char* text) { return *NBDecimal::fromString(text); };
  EXPECT_EQ(d("3.5").toDouble(), 3.5);
  EXPECT_EQ(d("-0.1").toDouble(), -0.1);
  EXPECT_EQ(d("-140.12345678901234").toDouble(), -140.12345678901234);
  EXPECT_EQ(d("1e100").toDouble(), 1e100);
  EXPECT_EQ(d("12345678901234567890123456789").toDouble(), 12345678901234567890123456789.0);
  EXPECT_EQ(d("4.9e-127").toDouble(), 4.9e-127);
  EXPECT_EQ(NBDecimal::fromDouble(0.1)->toString(), "0.1");
  EXPECT_EQ(NBDecimal::fromDouble(-2.5e-7)->toString(), "-0.00000025");
  EXPECT_EQ(NBDecimal::fromDouble(std::numeric_limits<double>::infinity()), std::nullopt);
  EXPECT_EQ(NBDecimal::fromDouble(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
  EXPECT_EQ(NBDecimal::fromDouble(1e300), std::nullopt);  // beyond the exponent range
}

}  // namespace
}  // namespace nb
