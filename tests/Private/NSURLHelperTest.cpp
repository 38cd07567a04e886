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

}  // namespace
}  // namespace nb
