#include <gtest/gtest.h>

#include "nb/Private/internal/MultipartFormBody.h"
#include "nb/platform/URLRequest.h"

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
  // The pieces the upload sends around the file's bytes, and the length it declares.
  EXPECT_EQ(MultipartFormBody::partHeader("a b.txt") + "x\0y"s + MultipartFormBody::closingLine(),
            expected);
  EXPECT_EQ(MultipartFormBody::contentType(),
            "multipart/form-data; boundary=----------ThIs_Is_tHe_bouNdaRY_$");
}

TEST(MultipartFormBodyTest, NonAsciiNamesAndLargeSizesKeepTheirLength) {
  const std::string name = "报告.doc";  // UTF-8 bytes, inserted unchanged
  EXPECT_NE(MultipartFormBody::partHeader(name).find("filename=\"报告.doc\""), std::string::npos);
  // A request declares the parts' sum, a measured file of 5 GiB included.
  const std::int64_t fiveGiB = std::int64_t{5} << 30;
  URLRequest request = URLRequest::requestWithURL("http://n/");
  request.setHTTPBodyParts({URLRequestBodyPart::bytes(MultipartFormBody::partHeader(name)),
                            URLRequestBodyPart::file("/nowhere", fiveGiB),
                            URLRequestBodyPart::bytes(MultipartFormBody::closingLine())});
  EXPECT_EQ(request.HTTPBodyLength(),
            static_cast<std::int64_t>(MultipartFormBody::partHeader(name).size() +
                                      MultipartFormBody::closingLine().size()) +
                fiveGiB);
  request.setHTTPBodyParts({URLRequestBodyPart::file("/nowhere")});
  EXPECT_EQ(request.HTTPBodyLength(), -1);
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
