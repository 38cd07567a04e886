#include <gtest/gtest.h>

#include "nb/Private/NBServiceRequest.h"
#include "nb/Private/NSURLHelper.h"

namespace nb {
namespace {

using Params = std::vector<NBServiceRequest::Parameter>;

TEST(NBServiceRequestTest, CollectionStopsAtTheFirstAbsentValue) {
  const std::optional<std::string> a = "1", empty = "", none;
  auto three = [](const std::optional<std::string>& x, const std::optional<std::string>& y,
                  const std::optional<std::string>& z) {
    return NBServiceRequest::collectParameters({{"x", &x}, {"y", &y}, {"z", &z}});
  };
  EXPECT_EQ(three(a, a, a), (Params{{"x", "1"}, {"y", "1"}, {"z", "1"}}));
  // An empty value is a value; only an absent one ends the list.
  EXPECT_EQ(three(empty, a, empty), (Params{{"x", ""}, {"y", "1"}, {"z", ""}}));
  EXPECT_EQ(three(a, none, a), (Params{{"x", "1"}}));
  EXPECT_EQ(three(none, a, a), Params{});
}

TEST(NBServiceRequestTest, URLPathTextAcceptsOnlyWhatAURLPathCarriesUnchanged) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"", true},
      {"/a.txt", true},
      {"/docs/sub-dir_1/~x(1)!$&'*+,;=:@", true},
      {"/a%20b", true},
      {"/a b", false},
      {"/a?b", false},
      {"/a#b", false},
      {"/%", false},
      {"/%2", false},
      {"/%zz", false},
      {"/\xE4\xB8\xAD", false},
      {"/a\tb", false},
      {"/a\"b", false},
      {"/a<b>", false},
      {"/a\\b", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NBServiceRequest::isURLPathText(c.text), c.valid) << c.text;
  }
}

TEST(NBServiceRequestTest, SignedURLCarriesEveryParameterEncodedOnceAndTheToken) {
  const NBServiceRequest request{"http://api.example/1/fileops/move",
                                 {{"root", "app"}, {"from_path", "/a b&c"}, {"to_path", "/中"}}};
  const NBConsumer consumer("ck", "cs");
  const NBToken token("tk", "ts");
  const std::string url = request.signedURLString(consumer, &token);

  const std::string prefix = "http://api.example/1/fileops/move?oauth_signature=";
  ASSERT_EQ(url.rfind(prefix, 0), 0u) << url;
  EXPECT_NE(url.find("&from_path=%2Fa%20b%26c"), std::string::npos) << url;
  EXPECT_NE(url.find("&to_path=%2F%E4%B8%AD"), std::string::npos) << url;
  const auto query = NSURLHelper::parseURLQueryString(url.substr(url.find('?') + 1));
  EXPECT_EQ(query.at("root"), "app");
  EXPECT_EQ(query.at("from_path"), "/a b&c");
  EXPECT_EQ(query.at("oauth_token"), "tk");
  EXPECT_EQ(query.at("oauth_consumer_key"), "ck");
  EXPECT_EQ(query.at("oauth_signature").size(), 28u);
}

}  // namespace
}  // namespace nb
