#include "nb/Private/SignatureHelper.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "nb/Private/NSDataBase64Helper.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/NSURLHelper.h"

namespace nb {
namespace {

// One HMAC-SHA1 context per thread, fetched once and re-keyed per signature:
// fetching the algorithm costs far more than computing a digest.
class HmacSha1 {
 public:
  HmacSha1() {
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (mac == nullptr) throw std::runtime_error("HMAC is not available from OpenSSL");
    ctx_ = EVP_MAC_CTX_new(mac);
    EVP_MAC_free(mac);
    if (ctx_ == nullptr) throw std::runtime_error("cannot create an HMAC context");
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (EVP_MAC_CTX_set_params(ctx_, params) != 1) {
      EVP_MAC_CTX_free(ctx_);
      throw std::runtime_error("SHA1 is not available for HMAC");
    }
  }
  ~HmacSha1() { EVP_MAC_CTX_free(ctx_); }
  HmacSha1(const HmacSha1&) = delete;
  HmacSha1& operator=(const HmacSha1&) = delete;

  SignatureHelper::Digest compute(std::string_view content, std::string_view key) {
    SignatureHelper::Digest digest{};
    std::size_t length = 0;
    static const unsigned char kEmpty = 0;
    const auto* keyBytes =
        key.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(key.data());
    if (EVP_MAC_init(ctx_, keyBytes, key.size(), nullptr) != 1 ||
        EVP_MAC_update(ctx_, reinterpret_cast<const unsigned char*>(content.data()),
                       content.size()) != 1 ||
        EVP_MAC_final(ctx_, digest.data(), &length, digest.size()) != 1 ||
        length != digest.size()) {
      throw std::runtime_error("HMAC-SHA1 computation failed");
    }
    return digest;
  }

 private:
  EVP_MAC_CTX* ctx_ = nullptr;
};

const std::string& required(const std::optional<std::string>& value, const char* what) {
  if (!value) throw std::invalid_argument(std::string("missing ") + what);
  return *value;
}

// The query of an absolute URL: after "?", before "#"; absent without "?".
std::optional<std::string_view> queryOf(std::string_view url) {
  const std::size_t hash = url.find('#');
  if (hash != std::string_view::npos) url = url.substr(0, hash);
  const std::size_t question = url.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  return url.substr(question + 1);
}

std::string encode(std::string_view s) {
  std::string out;
  NSStringHelper::appendUrlEncoded(out, s);
  return out;
}

// The signature and OAuth fields in the fixed order of the login and
// registration URLs; the consumer key goes in as it is.
void appendSignedOAuthFields(std::string& out, const std::string& signature,
                             const std::string& consumerKey, const std::string& nonce,
                             const std::string& timestamp) {
  out += "&oauth_signature=";
  NSStringHelper::appendUrlEncoded(out, signature);
  out += "&oauth_consumer_key=" + consumerKey;
  out += "&oauth_nonce=" + nonce;
  out += "&oauth_signature_method=HMAC-SHA1&oauth_timestamp=" + timestamp;
  out += "&oauth_version=1.0";
}

NBParameters freshOAuthParameters(const NBConsumer& consumer, const NBToken* token) {
  return SignatureHelper::getOAuthParameters(consumer, token, NSStringHelper::genericGUID(),
                                             NSStringHelper::timestamp());
}

}  // namespace

int SortParameter(const std::string& a, const std::string& b, const NBParameters& context) {
  if (int order = a.compare(b); order != 0) return order;
  const auto va = context.find(a);
  const auto vb = context.find(b);
  if (va == context.end() || vb == context.end()) return 0;
  return va->second.compare(vb->second);
}

SignatureHelper::Digest SignatureHelper::HMAC_SHA1_Content(std::string_view content,
                                                           std::string_view key) {
  thread_local HmacSha1 hmac;
  return hmac.compute(content, key);
}

NBParameters SignatureHelper::getOAuthParameters(const NBConsumer& consumer, const NBToken* token,
                                                 const std::string& nonce,
                                                 const std::string& timestamp) {
  NBParameters params;
  params.emplace("oauth_timestamp", timestamp);
  params.emplace("oauth_nonce", nonce);
  params.emplace("oauth_consumer_key", required(consumer.key, "consumer key"));
  params.emplace("oauth_signature_method", getSignatureMethod());
  params.emplace("oauth_version", getOAuthVersion());
  if (token != nullptr) params.emplace("oauth_token", required(token->token, "token"));
  return params;
}

NBParameters SignatureHelper::getXAuthParameters(const NBAuthOperationItem& item,
                                                 const std::string& nonce,
                                                 const std::string& timestamp) {
  if (!item.consumer) throw std::invalid_argument("missing consumer");
  NBParameters params = getOAuthParameters(*item.consumer, nullptr, nonce, timestamp);
  params["x_auth_username"] = required(item.userName, "user name");
  params["x_auth_password"] = required(item.password, "password");
  params["x_auth_mode"] = "client_auth";
  return params;
}

NBParameters SignatureHelper::getRegisterParameters(const NBRegisterOperationItem& item,
                                                    const std::string& nonce,
                                                    const std::string& timestamp) {
  if (!item.consumer) throw std::invalid_argument("missing consumer");
  NBParameters params = getOAuthParameters(*item.consumer, nullptr, nonce, timestamp);
  params["username"] = required(item.userName, "user name");
  params["password"] = required(item.password, "password");
  if (item.verifi && item.verifi->verifiCode) {
    params["verification_code"] = *item.verifi->verifiCode;
  }
  if (item.verifi && item.verifi->authID) params["authid"] = *item.verifi->authID;
  params["device_id"] = required(item.deviceID, "device id");
  return params;
}

std::string SignatureHelper::getSignatureInternal(const std::string& url,
                                                  const std::string& httpMethod,
                                                  const NBConsumer& consumer, const NBToken* token,
                                                  const NBParameters& params) {
  // Pairs of the URL's own query replace given parameters of the same name.
  const NBParameters query = NSURLHelper::parseURLQueryString(queryOf(url));
  const NBParameters* merged = &params;
  NBParameters mergedCopy;
  if (!query.empty()) {
    mergedCopy = params;
    for (const auto& [name, value] : query) mergedCopy.insert_or_assign(name, value);
    merged = &mergedCopy;
  }

  // Encoded names map to encoded values; sorted by SortParameter.
  NBParameters encoded;
  for (const auto& [name, value] : *merged) encoded.emplace(encode(name), encode(value));
  std::vector<const std::string*> names;
  names.reserve(encoded.size());
  for (const auto& pair : encoded) names.push_back(&pair.first);
  std::sort(names.begin(), names.end(), [&](const std::string* a, const std::string* b) {
    return SortParameter(*a, *b, encoded) < 0;
  });

  std::string parameterString;
  for (const std::string* name : names) {
    if (!parameterString.empty()) parameterString.push_back('&');
    parameterString += *name;
    parameterString.push_back('=');
    parameterString += encoded.at(*name);
  }

  std::string base;
  base.reserve(httpMethod.size() + url.size() * 3 + parameterString.size() * 3 + 2);
  NSStringHelper::appendUrlEncoded(base, httpMethod);
  base.push_back('&');
  NSStringHelper::appendUrlEncoded(base, url);
  base.push_back('&');
  NSStringHelper::appendUrlEncoded(base, parameterString);

  std::string key = NSStringHelper::urlEncodeCovertString(consumer.secret);
  key.push_back('&');
  if (token != nullptr && token->tokenSecret) {
    NSStringHelper::appendUrlEncoded(key, *token->tokenSecret);
  }

  const Digest digest = HMAC_SHA1_Content(base, key);
  return NSDataBase64Helper::base64StringFromData(digest.data(), digest.size());
}

std::string SignatureHelper::getSignature(const std::string& url, const std::string& httpMethod,
                                          const NBConsumer& consumer, const NBToken* token) {
  return getSignatureInternal(url, httpMethod, consumer, token,
                              freshOAuthParameters(consumer, token));
}

std::string SignatureHelper::serialParameters(const NBParameters& params) {
  std::string out;
  for (const auto& [name, value] : params) {
    if (!out.empty()) out.push_back('&');
    NSStringHelper::appendUrlEncoded(out, name);
    out.push_back('=');
    NSStringHelper::appendUrlEncoded(out, value);
  }
  return out;
}

std::string SignatureHelper::getSignatureUrlString(const std::string& url,
                                                   const std::string& httpMethod,
                                                   const NBConsumer& consumer,
                                                   const NBToken* token,
                                                   const NBParameters* extra) {
  NBParameters params = freshOAuthParameters(consumer, token);
  if (extra != nullptr) {
    for (const auto& [name, value] : *extra) params.insert_or_assign(name, value);
  }
  const std::string signature = getSignatureInternal(url, httpMethod, consumer, token, params);
  std::string out = url;
  out += "?oauth_signature=";
  NSStringHelper::appendUrlEncoded(out, signature);
  out.push_back('&');
  out += serialParameters(params);
  return out;
}

std::string SignatureHelper::getXAuthSignatureUrlString(const std::string& url,
                                                        const NBAuthOperationItem& item) {
  const std::string nonce = NSStringHelper::genericGUID();
  const std::string timestamp = NSStringHelper::timestamp();
  const NBParameters params = getXAuthParameters(item, nonce, timestamp);
  const std::string signature = getSignatureInternal(
      url, required(item.httpMethod, "HTTP method"), *item.consumer, nullptr, params);
  std::string out = url;
  out += "?x_auth_username=";
  NSStringHelper::appendUrlEncoded(out, *item.userName);
  out += "&x_auth_mode=client_auth";
  appendSignedOAuthFields(out, signature, *item.consumer->key, nonce, timestamp);
  return out;
}

std::string SignatureHelper::getRegisterSignatureUrlString(const std::string& url,
                                                           const NBRegisterOperationItem& item) {
  const std::string nonce = NSStringHelper::genericGUID();
  const std::string timestamp = NSStringHelper::timestamp();
  const NBParameters params = getRegisterParameters(item, nonce, timestamp);
  const std::string signature = getSignatureInternal(
      url, required(item.httpMethod, "HTTP method"), *item.consumer, nullptr, params);
  const std::optional<std::string> none;
  const auto& code = item.verifi ? item.verifi->verifiCode : none;
  const auto& authID = item.verifi ? item.verifi->authID : none;
  std::string out = url;
  out += "?username=";
  NSStringHelper::appendUrlEncoded(out, *item.userName);
  appendSignedOAuthFields(out, signature, *item.consumer->key, nonce, timestamp);
  out += "&verification_code=";
  out += NSStringHelper::urlEncodeCovertString(code);
  out += "&authid=";
  out += NSStringHelper::urlEncodeCovertString(authID);
  out += "&device_id=";
  NSStringHelper::appendUrlEncoded(out, *item.deviceID);
  return out;
}

}  // namespace nb
