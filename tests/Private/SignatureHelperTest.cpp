#include "nb/Private/SignatureHelper.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "nb/Private/NSDataBase64Helper.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/NSURLHelper.h"

namespace nb {
namespace {

const std::string kAccountInfo = "http://api.nimbus.test/1/account_info";

std::string queryValue(const std::string& url, const std::string& name) {
  const auto query = url.substr(url.find('?') + 1);
  return NSURLHelper::parseURLQueryString(query).at(name);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

std::string decoded(const std::string& s) { return NSURLHelper::percentDecode(s).value(); }

TEST(SignatureHelperTest, HmacSha1MatchesRfc2202) {
  const auto digest = SignatureHelper::HMAC_SHA1_Content("what do ya want for nothing?", "Jefe");
  EXPECT_EQ(NSDataBase64Helper::base64StringFromData(digest.data(), digest.size()),
            "7/zfauXrL6LSdBbV8YTfnCWafHk=");  // effcdf6ae5eb2fa2d27416d5f184df9c259a7c79
  const auto empty = SignatureHelper::HMAC_SHA1_Content("", "");
  EXPECT_EQ(NSDataBase64Helper::base64StringFromData(empty.data(), empty.size()),
            "+9sdGxiqbAgyS31ktx+3Y3BpDh0=");
}

TEST(SignatureHelperTest, HmacSha1KeysOfEveryLengthAndKeysThatChange) {
  // Keys up to a block are padded, longer ones hashed first (RFC 2202 case 6);
  // a key prepared once is reused only for the same key. Digests from Python's hmac.
  const struct {
    std::string key, message, digest;
  } cases[] = {
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "qkrl4VJy0A6VcFY3zoo7Ve1AIRI="},
      {std::string(64, 'k'), "a block-sized key", "kWHQ9+K08molZu3qicLVAjpiZHA="},
      {std::string(65, 'k'), "one byte over", "smfMrWFz/KDcZsBnp5PeXwyx+jA="},
      {"Jefe", "what do ya want for nothing?", "7/zfauXrL6LSdBbV8YTfnCWafHk="},
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& c : cases) {
      const auto digest = SignatureHelper::HMAC_SHA1_Content(c.message, c.key);
      EXPECT_EQ(NSDataBase64Helper::base64StringFromData(digest.data(), digest.size()), c.digest)
          << c.message;
    }
  }
}

TEST(SignatureHelperTest, OAuthParameterSets) {
  NBConsumer consumer("ck", "cs");
  NBToken token("tk", "ts");
  const auto withToken = SignatureHelper::getOAuthParameters(consumer, &token, "N", "1");
  EXPECT_EQ(withToken, (NBParameters{{"oauth_consumer_key", "ck"},
                                     {"oauth_nonce", "N"},
                                     {"oauth_signature_method", "HMAC-SHA1"},
                                     {"oauth_timestamp", "1"},
                                     {"oauth_token", "tk"},
                                     {"oauth_version", "1.0"}}));
  EXPECT_EQ(SignatureHelper::getOAuthParameters(consumer, nullptr, "N", "1").count("oauth_token"),
            0u);

  NBRegisterOperationItem item;
  item.consumer = std::make_shared<NBConsumer>(consumer);
  item.userName = "u";
  item.password = "p";
  item.deviceID = "d";
  auto params = SignatureHelper::getRegisterParameters(item, "N", "1");
  EXPECT_EQ(params.count("verification_code"), 0u);
  EXPECT_EQ(params.count("authid"), 0u);
  item.verifi = std::make_shared<NBVerification>();
  item.verifi->authID = "a";
  params = SignatureHelper::getRegisterParameters(item, "N", "1");
  EXPECT_EQ(params.count("verification_code"), 0u);
  EXPECT_EQ(params.at("authid"), "a");
  EXPECT_EQ(params.at("device_id"), "d");

  const auto xauth = SignatureHelper::getXAuthParameters(item, "N", "1");
  EXPECT_EQ(xauth.at("x_auth_mode"), "client_auth");
  EXPECT_EQ(xauth.at("x_auth_password"), "p");

  item.deviceID.reset();
  EXPECT_THROW(SignatureHelper::getRegisterParameters(item, "N", "1"), std::invalid_argument);
  EXPECT_THROW(SignatureHelper::getOAuthParameters(NBConsumer(std::nullopt, "s"), nullptr, "N", "1"),
               std::invalid_argument);
}

TEST(SignatureHelperTest, SortParameterOrdersByCharacterCode) {
  const NBParameters context{{"a", "2"}, {"b", "1"}};
  EXPECT_LT(SortParameter("file_limit", "filter_ext", context), 0);
  EXPECT_LT(SortParameter("oauth_token", "oauth_version", context), 0);
  EXPECT_LT(SortParameter("Z", "a", context), 0);
  EXPECT_EQ(SortParameter("a", "a", context), 0);
  EXPECT_GT(SortParameter("b", "a", context), 0);
}

TEST(SignatureHelperTest, SerialParametersEncodesEachPair) {
  EXPECT_EQ(SignatureHelper::serialParameters({{"a b", "c&d"}, {"x", "中"}}),
            "a%20b=c%26d&x=%E4%B8%AD");
  EXPECT_EQ(SignatureHelper::serialParameters({}), "");
}

// The base string of a known request, rebuilt by hand, signs to the same value.
TEST(SignatureHelperTest, BaseStringLayout) {
  NBConsumer consumer("ck", "c s");
  NBToken token("tk", "t/s");
  const auto params = SignatureHelper::getOAuthParameters(consumer, &token, "N-1", "1354874400");
  const std::string base =
      "GET&http%3A%2F%2Fapi.nimbus.test%2F1%2Faccount_info&"
      "oauth_consumer_key%3Dck%26oauth_nonce%3DN-1%26oauth_signature_method%3DHMAC-SHA1%26"
      "oauth_timestamp%3D1354874400%26oauth_token%3Dtk%26oauth_version%3D1.0";
  const auto digest = SignatureHelper::HMAC_SHA1_Content(base, "c%20s&t%2Fs");
  EXPECT_EQ(SignatureHelper::getSignatureInternal(kAccountInfo, "GET", consumer, &token, params),
            NSDataBase64Helper::base64StringFromData(digest.data(), digest.size()));

  // Without a token the key is the encoded consumer secret followed by "&".
  const auto bare = SignatureHelper::getOAuthParameters(consumer, nullptr, "N-1", "1354874400");
  const std::string bareBase =
      "GET&http%3A%2F%2Fapi.nimbus.test%2F1%2Faccount_info&"
      "oauth_consumer_key%3Dck%26oauth_nonce%3DN-1%26oauth_signature_method%3DHMAC-SHA1%26"
      "oauth_timestamp%3D1354874400%26oauth_version%3D1.0";
  const auto bareDigest = SignatureHelper::HMAC_SHA1_Content(bareBase, "c%20s&");
  EXPECT_EQ(SignatureHelper::getSignatureInternal(kAccountInfo, "GET", consumer, nullptr, bare),
            NSDataBase64Helper::base64StringFromData(bareDigest.data(), bareDigest.size()));

  // A value with a space: "%20" once encoded, "%2520" inside the base string.
  NBParameters spaced = params;
  spaced["path"] = "a b";
  const std::string spacedBase =
      "GET&http%3A%2F%2Fapi.nimbus.test%2F1%2Faccount_info&"
      "oauth_consumer_key%3Dck%26oauth_nonce%3DN-1%26oauth_signature_method%3DHMAC-SHA1%26"
      "oauth_timestamp%3D1354874400%26oauth_token%3Dtk%26oauth_version%3D1.0%26path%3Da%2520b";
  const auto spacedDigest = SignatureHelper::HMAC_SHA1_Content(spacedBase, "c%20s&t%2Fs");
  EXPECT_EQ(SignatureHelper::getSignatureInternal(kAccountInfo, "GET", consumer, &token, spaced),
            NSDataBase64Helper::base64StringFromData(spacedDigest.data(), spacedDigest.size()));
}

TEST(SignatureHelperTest, UrlQueryPairsJoinAndWinInTheSignature) {
  NBConsumer consumer("ck", "cs");
  const NBParameters given{{"a", "given"}, {"oauth_nonce", "N"}, {"oauth_timestamp", "1"}};
  NBParameters merged = given;
  merged["a"] = "from url";
  EXPECT_EQ(SignatureHelper::getSignatureInternal(kAccountInfo + "?a=from%20url", "GET", consumer,
                                                  nullptr, given),
            SignatureHelper::getSignatureInternal(kAccountInfo + "?a=from%20url", "GET", consumer,
                                                  nullptr, merged));
}

TEST(SignatureHelperTest, GenericUrlLayout) {
  NBConsumer consumer("ck", "cs");
  NBToken token("tk", "ts");
  const NBParameters extra{{"path", "/a b"}, {"oauth_nonce", "MY-NONCE"}};
  const std::string url =
      SignatureHelper::getSignatureUrlString(kAccountInfo, "GET", consumer, &token, &extra);
  ASSERT_EQ(url.rfind(kAccountInfo + "?oauth_signature=", 0), 0u) << url;
  EXPECT_NE(url.find("&oauth_nonce=MY-NONCE&"), std::string::npos);
  EXPECT_NE(url.find("&path=%2Fa%20b"), std::string::npos);
  EXPECT_NE(url.find("&oauth_token=tk"), std::string::npos);
  const std::string signature = queryValue(url, "oauth_signature");
  EXPECT_EQ(signature.size(), 28u);
  EXPECT_EQ(signature.back(), '=');
  // In the URL the signature's "+", "/" and "=" are escaped.
  const std::string raw = url.substr(url.find('=') + 1, url.find('&') - url.find('=') - 1);
  EXPECT_EQ(raw, NSStringHelper::urlEncodeCovertString(signature));
  EXPECT_EQ(raw.find_first_of("+/="), std::string::npos);

  // The signature covers exactly the parameters that the URL carries.
  NBParameters sent = NSURLHelper::parseURLQueryString(url.substr(url.find('?') + 1));
  sent.erase("oauth_signature");
  EXPECT_EQ(SignatureHelper::getSignatureInternal(kAccountInfo, "GET", consumer, &token, sent),
            signature);

  // Without a token no oauth_token is sent; two calls draw different nonces.
  const std::string bare =
      SignatureHelper::getSignatureUrlString(kAccountInfo, "GET", consumer, nullptr, nullptr);
  EXPECT_EQ(bare.find("oauth_token"), std::string::npos);
  EXPECT_NE(queryValue(bare, "oauth_nonce"),
            queryValue(SignatureHelper::getSignatureUrlString(kAccountInfo, "GET", consumer,
                                                              nullptr, nullptr),
                       "oauth_nonce"));

  // A value too big for the buffer the thread keeps, and a short one after it,
  // each arrive whole and signed.
  for (const std::string& value : {std::string(20000, '/'), std::string("x")}) {
    const NBParameters one{{"path", value}};
    const std::string signedURL =
        SignatureHelper::getSignatureUrlString(kAccountInfo, "GET", consumer, &token, &one);
    NBParameters carried = NSURLHelper::parseURLQueryString(signedURL.substr(url.find('?') + 1));
    EXPECT_EQ(carried["path"], value);
    const std::string carriedSignature = carried["oauth_signature"];
    carried.erase("oauth_signature");
    EXPECT_EQ(SignatureHelper::getSignatureInternal(kAccountInfo, "GET", consumer, &token, carried),
              carriedSignature);
  }
}

TEST(SignatureHelperTest, PairsInAnyOrderSignAsTheMapMadeFromThem) {
  NBConsumer consumer("ck", "cs");
  NBToken token("tk", "ts");
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  // Each list fixes the nonce and timestamp, so that both forms are repeatable.
  Pairs many;
  for (int i = 19; i >= 0; --i) many.emplace_back("p" + std::to_string(i), std::to_string(i));
  many.emplace_back("oauth_nonce", "N");
  many.emplace_back("oauth_timestamp", "1");
  const std::vector<Pairs> lists = {
      {{"z", "first z"},
       {"oauth_timestamp", "1"},
       {"a b", "spaced name"},
       {"oauth_nonce", "N"},
       {"z", "second z"},
       {"m", "/x y"},
       {"oauth_version", "2.0"}},
      {{"oauth_nonce", "N"}, {"oauth_timestamp", "1"}},
      many,  // more pairs than are held on the stack
  };
  for (const Pairs& pairs : lists) {
    SCOPED_TRACE(pairs.front().first);
    const NBParameters map(pairs.begin(), pairs.end());
    const std::string url =
        SignatureHelper::getSignatureUrlString(kAccountInfo, "GET", consumer, &token, pairs);
    EXPECT_EQ(url,
              SignatureHelper::getSignatureUrlString(kAccountInfo, "GET", consumer, &token, &map));
    EXPECT_EQ(url.find("second%20z"), std::string::npos);
  }
}

TEST(SignatureHelperTest, XAuthUrlLayout) {
  NBAuthOperationItem item;
  item.consumer = std::make_shared<NBConsumer>("ck", "cs");
  item.userName = "a user&";
  item.password = "secret pass";
  item.httpMethod = "POST";
  const std::string base = "https://api.nimbus.test/open/xAccessToken";
  const std::string url = SignatureHelper::getXAuthSignatureUrlString(base, item);
  const std::regex layout(
      "https://api\\.nimbus\\.test/open/xAccessToken\\?x_auth_username=a%20user%26"
      "&x_auth_mode=client_auth&oauth_signature=([A-Za-z0-9%]+)&oauth_consumer_key=ck"
      "&oauth_nonce=([0-9A-F-]{36})&oauth_signature_method=HMAC-SHA1"
      "&oauth_timestamp=([0-9]+)&oauth_version=1\\.0");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(url, m, layout)) << url;
  EXPECT_EQ(url.find("secret"), std::string::npos);  // the password travels in the body
  const auto params = SignatureHelper::getXAuthParameters(item, m[2], m[3]);
  EXPECT_EQ(decoded(m[1]),
            SignatureHelper::getSignatureInternal(base, "POST", *item.consumer, nullptr, params));
}

TEST(SignatureHelperTest, RegisterUrlLayout) {
  NBRegisterOperationItem item;
  item.consumer = std::make_shared<NBConsumer>("ck", "cs");
  item.userName = "new user";
  item.password = "pw";
  item.httpMethod = "POST";
  item.deviceID = "DEV/1";
  const std::string base = "https://api.nimbus.test/open/register";
  const std::regex layout(
      "https://api\\.nimbus\\.test/open/register\\?username=new%20user"
      "&oauth_signature=([A-Za-z0-9%]+)&oauth_consumer_key=ck&oauth_nonce=([0-9A-F-]{36})"
      "&oauth_signature_method=HMAC-SHA1&oauth_timestamp=([0-9]+)&oauth_version=1\\.0"
      "&verification_code=(.*)&authid=(.*)&device_id=DEV%2F1");
  std::smatch m;
  std::string url = SignatureHelper::getRegisterSignatureUrlString(base, item);
  ASSERT_TRUE(std::regex_match(url, m, layout)) << url;
  EXPECT_EQ(m[4], "");
  EXPECT_EQ(m[5], "");
  EXPECT_NE(url.find("&verification_code=&authid=&device_id=DEV%2F1"), std::string::npos);
  // Absent code and id are left out of the signature.
  EXPECT_EQ(decoded(m[1]),
            SignatureHelper::getSignatureInternal(
                base, "POST", *item.consumer, nullptr,
                SignatureHelper::getRegisterParameters(item, m[2], m[3])));

  item.verifi = std::make_shared<NBVerification>();
  item.verifi->verifiCode = "A B";
  item.verifi->authID = "7/8";
  url = SignatureHelper::getRegisterSignatureUrlString(base, item);
  ASSERT_TRUE(std::regex_match(url, m, layout)) << url;
  EXPECT_EQ(m[4], "A%20B");
  EXPECT_EQ(m[5], "7%2F8");
  EXPECT_EQ(decoded(m[1]),
            SignatureHelper::getSignatureInternal(
                base, "POST", *item.consumer, nullptr,
                SignatureHelper::getRegisterParameters(item, m[2], m[3])));
}

// Signatures equal those of an independent OAuth implementation (oauthlib);
// the vectors come from make_signature_vectors.py beside this file.
TEST(SignatureHelperTest, MatchesIndependentImplementation) {
  std::ifstream in(NB_SOURCE_DIR "/tests/Private/signature_vectors.tsv");
  ASSERT_TRUE(in) << "missing signature_vectors.tsv";
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    const auto f = split(line, '\t');
    ASSERT_EQ(f.size(), 11u) << line;
    NBConsumer consumer(decoded(f[2]), decoded(f[3]));
    std::optional<NBToken> token;
    if (f[4] != "-") token.emplace(decoded(f[4]), decoded(f[5]));
    NBParameters extra{{"oauth_nonce", f[6]}, {"oauth_timestamp", f[7]}};
    for (const std::string& pairs : {f[8], f[9]}) {
      for (const auto& [name, value] : NSURLHelper::parseURLQueryString(pairs)) {
        extra[decoded(name)] = value;
      }
    }
    const std::string url = SignatureHelper::getSignatureUrlString(
        f[1], f[0], consumer, token ? &*token : nullptr, &extra);
    EXPECT_EQ(queryValue(url, "oauth_signature"), f[10]) << line;
    ++checked;
  }
  EXPECT_GE(checked, 40);
}

}  // namespace
}  // namespace nb
