// Query strings and form bodies decode into ordered pairs; "+" is a space there
// but not where a plain percent-decoding is asked for.
#include "server/RequestParameters.h"

#include <gtest/gtest.h>

namespace nb::server {
namespace {

TEST(RequestParametersTest, Decode) {
  const std::optional<std::string> refused;
  const struct {
    std::string in;
    bool plusIsSpace;
    std::optional<std::string> out;
  } cases[] = {
      {"a+b%2Bc", true, "a b+c"},
      {"a+b%2Bc", false, "a+b+c"},
      {"%FF%00", false, std::string("\xFF\0", 2)},  // bytes, not checked as text
      {"%4", true, refused},
      {"%+1", true, refused},  // the space put in for "+" is no hex digit
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RequestParameters::decode(c.in, c.plusIsSpace), c.out) << c.in;
  }
}

TEST(RequestParametersTest, Parse) {
  using Pairs = std::vector<RequestParameters::Pair>;
  const auto parsed = RequestParameters::parse("a=1&&b&c=x+y&a=%7E&");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->pairs(), (Pairs{{"a", "1"}, {"b", ""}, {"c", "x y"}, {"a", "~"}}));
  EXPECT_EQ(parsed->get("a"), "~");
  EXPECT_EQ(parsed->get("z"), std::nullopt);
  EXPECT_FALSE(RequestParameters::parse("a=1&b=%Z1"));
}

}  // namespace
}  // namespace nb::server
