#include "nb/Private/NSDataBase64Helper.h"

#include <gtest/gtest.h>

namespace nb {
namespace {

std::string decode(std::string_view s) {
  const auto bytes = NSDataBase64Helper::dataFromBase64String(s);
  return std::string(bytes.begin(), bytes.end());
}

TEST(NSDataBase64HelperTest, Encodes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"\xff\xfe\xfd\xfc", "//79/A=="}};
  for (const auto& c : cases) EXPECT_EQ(NSDataBase64Helper::base64StringFromData(c.in), c.out);
  const std::string twenty(20, 'x');
  const std::string encoded = NSDataBase64Helper::base64StringFromData(twenty);
  EXPECT_EQ(encoded.size(), 28u);
  EXPECT_EQ(encoded.substr(24), "eHg=");  // one "=" only
  // No line breaks at any length.
  EXPECT_EQ(NSDataBase64Helper::base64StringFromData(std::string(3000, 'q')).find('\n'),
            std::string::npos);
}

TEST(NSDataBase64HelperTest, Decodes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},         {"YWJj", "abc"},      {"YW\nJj", "abc"},    {"QQ==", "A"},
      {"YQ==YWJj", "a"}, {" Y W J j \r\n", "abc"}, {"YWI=", "ab"}, {"//79/A==", "\xff\xfe\xfd\xfc"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.in), c.out) << c.in;
}

TEST(NSDataBase64HelperTest, PrematureEndRaisesBase64Error) {
  for (const char* in : {"YWJ", "QUJD=", "Y", "YWJjY"}) {
    try {
      decode(in);
      ADD_FAILURE() << in << " decoded";
    } catch (const Base64Error& e) {
      EXPECT_STREQ(e.what(), "Premature end of Base64 string");
      EXPECT_STREQ(Base64Error::name(), "Base64Error");
    }
  }
}

TEST(NSDataBase64HelperTest, NonAsciiInputIsAProgrammingError) {
  try {
    decode("YWJj\xc3\xa9");
    ADD_FAILURE() << "decoded non-ASCII input";
  } catch (const NBAssertionFailure& e) {
    EXPECT_STREQ(e.what(),
                 "Invalid parameter not satisfying: [base64String canBeConvertedToEncoding: "
                 "NSASCIIStringEncoding]");
    EXPECT_EQ(e.file(), "Private/NSDataBase64Helper");
    EXPECT_EQ(e.line(), 82);
  }
}

}  // namespace
}  // namespace nb
