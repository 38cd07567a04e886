#include "nb/Private/NSURLHelper.h"

#include <gtest/gtest.h>

namespace nb {
namespace {

using Map = std::map<std::string, std::string>;

TEST(NSURLHelperTest, ParsesQueries) {
  const struct {
    std::optional<std::string> query;
    Map expected;
  } cases[] = {
      {std::nullopt, {}},
      {"", {}},
      {"a=1&b=%E4%B8%AD&c&d=1=2&a=3", {{"a", "3"}, {"b", "中"}}},
      {"x=a+b", {{"x", "a+b"}}},
      {"y=%FF", {}},                      // a lone 0xFF is not UTF-8
      {"z=%4", {}},                       // truncated escape
      {"z=%G1&k=v", {{"k", "v"}}},        // malformed escape drops only its piece
      {"=x&a=", {{"", "x"}, {"a", ""}}},  // empty name and value are kept
      {"n%20m=v", {{"n%20m", "v"}}},      // names are not decoded
      {"&&a=1&", {{"a", "1"}}},
      {"s=%ED%A0%80", {}},                // an encoded surrogate is not UTF-8
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NSURLHelper::parseURLQueryString(c.query), c.expected) << c.query.value_or("nil");
  }
}

// percentDecode is percentDecodeBytes followed by the UTF-8 check.
TEST(NSURLHelperTest, PercentDecodes) {
  const std::optional<std::string> refused;
  const struct {
    std::string in;
    std::optional<std::string> bytes;  // percentDecodeBytes
    std::optional<std::string> text;   // percentDecode
  } cases[] = {
      {"", "", ""},
      {"a+b%20c", "a+b c", "a+b c"},
      {"%e4%B8%AD", "中", "中"},
      {"%2B%25", "+%", "+%"},
      {"%FF%00", std::string("\xFF\0", 2), refused},  // any bytes, but not UTF-8
      {"%C0%AF", "\xC0\xAF", refused},                // overlong "/"
      {"%F4%90%80%80", "\xF4\x90\x80\x80", refused},  // above U+10FFFF
      {"%", refused, refused},
      {"ab%4", refused, refused},
      {"%G0", refused, refused},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NSURLHelper::percentDecodeBytes(c.in), c.bytes) << c.in;
    EXPECT_EQ(NSURLHelper::percentDecode(c.in), c.text) << c.in;
  }
}

TEST(NSURLHelperTest, ChecksUTF8) {
  const struct {
    std::string in;
    bool valid;
  } cases[] = {
      {"", true},
      {"ascii \x7F", true},
      {"\xC2\x80 \xE0\xA0\x80 \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF", true},  // shortest forms
      {"\xC1\xBF", false},                  // overlong
      {"\xE0\x9F\xBF", false},             // overlong
      {"\xED\xBF\xBF", false},             // a surrogate
      {"\xE2\x82", false},                  // cut short at the end
      {"\xE2\x82x", false},                 // not a continuation byte
      {"\x80", false},                       // a stray continuation byte
      {"\xF8\x88\x80\x80\x80", false},  // five-byte form
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NSURLHelper::isValidUTF8(c.in), c.valid) << c.in;
  }
}

}  // namespace
}  // namespace nb
