#include <gtest/gtest.h>

#include "nb/Private/internal/MultipartFormBody.h"

namespace nb {
namespace {

TEST(MultipartFormBodyTest, ThreeByteFileHasTheExactFraming) {
  using namespace std::string_literals;
  const std::string expected =
      "------------ThIs_Is_tHe_bouNdaRY_$\r\n"
      "Content-Disposition: form-data; name=\"file\"; filename=\"a b.txt\"\r\n"
      "Content-Type: application/octet-stream\r\n"
      "\r\n"
      "x\0y"
      "\r\n------------ThIs_Is_tHe_bouNdaRY_$--"s;
  ASSERT_EQ(MultipartFormBody::kBoundary.size(), 32u);
  const std::string body = MultipartFormBody::body("a b.txt", std::string("x\0y", 3));
  EXPECT_EQ(body, expected);
  EXPECT_EQ(MultipartFormBody::bodyLength("a b.txt", 3), static_cast<std::int64_t>(body.size()));
  EXPECT_EQ(MultipartFormBody::contentType(),
            "multipart/form-data; boundary=----------ThIs_Is_tHe_bouNdaRY_$");
}

TEST(MultipartFormBodyTest, NonAsciiNamesAndLargeSizesKeepTheirLength) {
  const std::string name = "报告.doc";  // UTF-8 bytes, inserted unchanged
  EXPECT_NE(MultipartFormBody::partHeader(name).find("filename=\"报告.doc\""), std::string::npos);
  const std::int64_t fiveGiB = std::int64_t{5} << 30;
  EXPECT_EQ(MultipartFormBody::bodyLength(name, fiveGiB) - fiveGiB,
            MultipartFormBody::bodyLength(name, 0));
}

TEST(MultipartFormBodyTest, NamesThatWouldBreakTheHeaderAreUnsafe) {
  struct Case {
    std::string name;
    bool safe;
  } cases[] = {
      {"report.doc", true}, {"", true},      {"it's ok;=.txt", true},       {"报告.doc", true},
      {"a\"b", false},      {"a\rb", false}, {"a\nContent-Type: x", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MultipartFormBody::isSafeFileName(c.name), c.safe) << c.name;
  }
}

}  // namespace
}  // namespace nb
