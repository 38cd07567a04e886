// SHA-1's low-level interface, which OpenSSL 3 marks deprecated but keeps, is
// what lets the HMAC below reuse a key's prepared state without the MAC
// interface's per-message overhead.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "nb/Private/SignatureHelper.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "nb/Private/NSDataBase64Helper.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/NSURLHelper.h"

namespace nb {
namespace {

// HMAC-SHA1 for one thread. It keeps the SHA-1 states of the last key's inner
// and outer pads, so that signing many requests with one consumer and token
// hashes only the message and the inner digest: OpenSSL's MAC interface costs
// as much again as the hashing itself for a message of a few hundred bytes.
class HmacSha1 {
 public:
  HmacSha1() = default;
  ~HmacSha1() { forget(); }
  HmacSha1(const HmacSha1&) = delete;
  HmacSha1& operator=(const HmacSha1&) = delete;

  SignatureHelper::Digest compute(std::string_view content, std::string_view key) {
    if (!keyed_ || key != key_) rekey(key);
    SignatureHelper::Digest digest{};
    std::array<unsigned char, SHA_DIGEST_LENGTH> inner{};
    SHA_CTX ctx = inner_;
    bool ok = SHA1_Update(&ctx, content.data(), content.size()) == 1 &&
              SHA1_Final(inner.data(), &ctx) == 1;
    ctx = outer_;
    ok = ok && SHA1_Update(&ctx, inner.data(), inner.size()) == 1 &&
         SHA1_Final(digest.data(), &ctx) == 1;
    OPENSSL_cleanse(&ctx, sizeof ctx);
    OPENSSL_cleanse(inner.data(), inner.size());
    if (!ok) throw std::runtime_error("HMAC-SHA1 computation failed");
    return digest;
  }

 private:
  static constexpr std::size_t kBlockSize = 64;

  // Prepares the pads' states for `key` (RFC 2104: a key longer than a block
  // is hashed first).
  void rekey(std::string_view key) {
    forget();
    std::array<unsigned char, kBlockSize> block{};
    bool ok = true;
    if (key.size() > kBlockSize) {
      // Not SHA1(), which in OpenSSL 3 fetches the digest from a provider: the
      // first fetch builds the providers' name tables, about 3M instructions,
      // more than the rest of a short command's own work.
      SHA_CTX hashed;
      ok = SHA1_Init(&hashed) == 1 && SHA1_Update(&hashed, key.data(), key.size()) == 1 &&
           SHA1_Final(block.data(), &hashed) == 1;
      OPENSSL_cleanse(&hashed, sizeof hashed);
    } else if (!key.empty()) {
      std::memcpy(block.data(), key.data(), key.size());
    }
    std::array<unsigned char, kBlockSize> pad{};
    for (std::size_t i = 0; i < kBlockSize; ++i) pad[i] = block[i] ^ 0x36;
    ok = ok && SHA1_Init(&inner_) == 1 && SHA1_Update(&inner_, pad.data(), pad.size()) == 1;
    for (std::size_t i = 0; i < kBlockSize; ++i) pad[i] = block[i] ^ 0x5c;
    ok = ok && SHA1_Init(&outer_) == 1 && SHA1_Update(&outer_, pad.data(), pad.size()) == 1;
    OPENSSL_cleanse(block.data(), block.size());
    OPENSSL_cleanse(pad.data(), pad.size());
    if (!ok) throw std::runtime_error("HMAC-SHA1 computation failed");
    key_.assign(key);
    keyed_ = true;
  }

  void forget() {
    OPENSSL_cleanse(key_.data(), key_.size());
    OPENSSL_cleanse(&inner_, sizeof inner_);
    OPENSSL_cleanse(&outer_, sizeof outer_);
    keyed_ = false;
  }

  SHA_CTX inner_{};
  SHA_CTX outer_{};
  std::string key_;
  bool keyed_ = false;
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

// One request parameter, unencoded, viewing strings the caller keeps alive;
// `encodedName` views either `name` itself (no escapes needed; a caller that
// knows so may set it ahead) or a spelling kept by the caller.
struct Pair {
  std::string_view name;
  std::string_view value;
  std::string_view encodedName;
};

// True when the pair's name needs no escapes (its encoded name is itself).
bool isPlain(const Pair& pair) {
  return pair.encodedName.data() == pair.name.data() && pair.encodedName.size() == pair.name.size();
}

// Room for `size` pairs: on the stack up to kInlinePairs, the usual case
// while signing, on the heap beyond.
class PairBuffer {
 public:
  explicit PairBuffer(std::size_t size) {
    if (size > inline_.size()) heap_.resize(size);
  }
  Pair* data() { return heap_.empty() ? inline_.data() : heap_.data(); }

 private:
  static constexpr std::size_t kInlinePairs = 16;
  std::array<Pair, kInlinePairs> inline_;
  std::vector<Pair> heap_;
};

// Fills each pair's encoded name, keeping the spellings that differ from the
// name in `spellings`, and sorts the pairs by encoded name: the order that
// SortParameter gives, in which values never decide because the names of one
// request are distinct and the encoding keeps them distinct.
void sortByEncodedName(Pair* pairs, std::size_t count, std::vector<std::string>& spellings) {
  for (std::size_t i = 0; i < count; ++i) {
    Pair& pair = pairs[i];
    if (isPlain(pair)) continue;
    if (NSStringHelper::urlEncodedLength(pair.name) == pair.name.size()) {
      pair.encodedName = pair.name;
      continue;
    }
    if (spellings.capacity() == 0) spellings.reserve(count);  // views stay valid
    spellings.push_back(encode(pair.name));
    pair.encodedName = spellings.back();
  }
  const auto byName = [](const Pair& a, const Pair& b) { return a.encodedName < b.encodedName; };
  if (!std::is_sorted(pairs, pairs + count, byName)) std::sort(pairs, pairs + count, byName);
}

// The Base64 HMAC-SHA1 signature of `pairs` (sorted by sortByEncodedName) for
// the request `method` `url`. The base string is written once into a buffer
// the thread keeps, with the parameter string encoded twice in one pass.
std::string signatureOf(std::string_view url, std::string_view method, const NBConsumer& consumer,
                        const NBToken* token, const Pair* pairs, std::size_t count) {
  std::size_t bound = (method.size() + url.size()) * 3 + 2;
  for (std::size_t i = 0; i < count; ++i) {
    bound += pairs[i].encodedName.size() * 3 + pairs[i].value.size() * 5 + 6;
  }
  thread_local std::string base;
  if (base.size() < bound) base.resize(bound);
  char* o = NSStringHelper::writeUrlEncoded(base.data(), method);
  *o++ = '&';
  o = NSStringHelper::writeUrlEncoded(o, url);
  *o++ = '&';
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) o = std::copy_n("%26", 3, o);
    // The encoded name's escapes are escaped once more; its plain bytes stay.
    const std::string_view name = pairs[i].encodedName;
    o = isPlain(pairs[i]) ? std::copy(name.begin(), name.end(), o)
                          : NSStringHelper::writeUrlEncoded(o, name);
    o = std::copy_n("%3D", 3, o);
    o = NSStringHelper::writeUrlEncodedTwice(o, pairs[i].value);
  }
  const std::string_view baseString(base.data(), static_cast<std::size_t>(o - base.data()));

  thread_local std::string key;
  key.clear();
  if (consumer.secret) NSStringHelper::appendUrlEncoded(key, *consumer.secret);
  key.push_back('&');
  if (token != nullptr && token->tokenSecret) {
    NSStringHelper::appendUrlEncoded(key, *token->tokenSecret);
  }
  const SignatureHelper::Digest digest = SignatureHelper::HMAC_SHA1_Content(baseString, key);
  OPENSSL_cleanse(key.data(), key.size());
  return NSDataBase64Helper::base64StringFromData(digest.data(), digest.size());
}

// The signature of the parameter map `params` merged with the pairs of the
// URL's own query, which replace given parameters of the same name.
std::string signatureOfMap(const std::string& url, std::string_view method,
                           const NBConsumer& consumer, const NBToken* token,
                           const NBParameters& params) {
  const NBParameters query = NSURLHelper::parseURLQueryString(queryOf(url));
  const NBParameters* merged = &params;
  NBParameters mergedCopy;
  if (!query.empty()) {
    mergedCopy = params;
    for (const auto& [name, value] : query) mergedCopy.insert_or_assign(name, value);
    merged = &mergedCopy;
  }
  std::vector<Pair> pairs;
  pairs.reserve(merged->size());
  for (const auto& [name, value] : *merged) pairs.push_back({name, value, {}});
  std::vector<std::string> spellings;
  sortByEncodedName(pairs.data(), pairs.size(), spellings);
  return signatureOf(url, method, consumer, token, pairs.data(), pairs.size());
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
  return signatureOfMap(url, httpMethod, consumer, token, params);
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

namespace {

// The signed URL of the generic layout with the extra parameters `extra`
// (sorted by name, each name once).
std::string signedURLWith(const std::string& url, const std::string& httpMethod,
                          const NBConsumer& consumer, const NBToken* token, const Pair* extra,
                          std::size_t extraCount) {
  // The OAuth set and the extra parameters as views: no map, no copies.
  char nonce[36];
  NSStringHelper::genericGUID(nonce);
  const std::string timestamp = NSStringHelper::timestamp();
  // Their names need no escapes: each is its own encoded name.
  constexpr std::string_view kConsumerKey = "oauth_consumer_key", kNonce = "oauth_nonce",
                             kMethod = "oauth_signature_method", kTimestamp = "oauth_timestamp",
                             kToken = "oauth_token", kVersion = "oauth_version";
  const Pair oauth[] = {
      {kConsumerKey, required(consumer.key, "consumer key"), kConsumerKey},
      {kNonce, std::string_view(nonce, sizeof nonce), kNonce},
      {kMethod, "HMAC-SHA1", kMethod},
      {kTimestamp, timestamp, kTimestamp},
      {kToken, token != nullptr ? std::string_view(required(token->token, "token")) : "", kToken},
      {kVersion, "1.0", kVersion},
  };
  PairBuffer buffer(std::size(oauth) + extraCount);
  Pair* const pairs = buffer.data();
  // Both lists are in name order: merge them, an extra parameter replacing
  // the OAuth parameter of its name.
  std::size_t count = 0;
  std::size_t next = 0;
  for (const Pair& pair : oauth) {
    if (pair.name == "oauth_token" && token == nullptr) continue;
    for (; next < extraCount && extra[next].name < pair.name; ++next) pairs[count++] = extra[next];
    if (next == extraCount || extra[next].name != pair.name) pairs[count++] = pair;
  }
  for (; next < extraCount; ++next) pairs[count++] = extra[next];
  std::vector<std::string> spellings;
  sortByEncodedName(pairs, count, spellings);

  std::string signature;
  if (queryOf(url)) {
    // Pairs of the URL's own query join the signature (not the serialised
    // parameters); the map form merges them.
    NBParameters params;
    for (std::size_t i = 0; i < count; ++i) {
      params.emplace(std::string(pairs[i].name), std::string(pairs[i].value));
    }
    signature = signatureOfMap(url, httpMethod, consumer, token, params);
  } else {
    signature = signatureOf(url, httpMethod, consumer, token, pairs, count);
  }

  // url "?oauth_signature=" signature, then "&" name "=" value in signing order,
  // written into a buffer the thread keeps (sized for every byte escaped, so
  // that no encoded length is counted first) and copied out once.
  constexpr std::string_view kSignatureField = "?oauth_signature=";
  std::size_t bound = url.size() + kSignatureField.size() + signature.size() * 3;
  for (std::size_t i = 0; i < count; ++i) {
    bound += 2 + pairs[i].encodedName.size() + pairs[i].value.size() * 3;
  }
  // A rare URL with a huge parameter gets a buffer of its own, so that the
  // thread does not keep three times its size.
  constexpr std::size_t kKeptBytes = 16 * 1024;
  thread_local std::string kept;
  std::string own;
  std::string& written = bound <= kKeptBytes ? kept : own;
  if (written.size() < bound) written.resize(bound);
  char* o = std::copy(url.begin(), url.end(), written.data());
  o = std::copy(kSignatureField.begin(), kSignatureField.end(), o);
  o = NSStringHelper::writeUrlEncoded(o, signature);
  for (std::size_t i = 0; i < count; ++i) {
    *o++ = '&';
    o = std::copy(pairs[i].encodedName.begin(), pairs[i].encodedName.end(), o);
    *o++ = '=';
    o = NSStringHelper::writeUrlEncoded(o, pairs[i].value);
  }
  return std::string(written.data(), static_cast<std::size_t>(o - written.data()));
}

}  // namespace

std::string SignatureHelper::getSignatureUrlString(const std::string& url,
                                                   const std::string& httpMethod,
                                                   const NBConsumer& consumer, const NBToken* token,
                                                   const NBParameters* extra) {
  const std::size_t count = extra != nullptr ? extra->size() : 0;
  PairBuffer buffer(count);
  Pair* const pairs = buffer.data();
  std::size_t i = 0;
  if (extra != nullptr) {
    for (const auto& [name, value] : *extra) pairs[i++] = {name, value, {}};
  }
  return signedURLWith(url, httpMethod, consumer, token, pairs, count);
}

std::string SignatureHelper::getSignatureUrlString(
    const std::string& url, const std::string& httpMethod, const NBConsumer& consumer,
    const NBToken* token, const std::vector<std::pair<std::string, std::string>>& extra) {
  PairBuffer buffer(extra.size());
  Pair* const pairs = buffer.data();
  for (std::size_t i = 0; i < extra.size(); ++i) pairs[i] = {extra[i].first, extra[i].second, {}};
  // In name order, a repeated name keeping its first value, as a map built
  // from the pairs would.
  const auto byName = [](const Pair& a, const Pair& b) { return a.name < b.name; };
  Pair* const end = pairs + extra.size();
  if (!std::is_sorted(pairs, end, byName)) std::stable_sort(pairs, end, byName);
  const auto sameName = [](const Pair& a, const Pair& b) { return a.name == b.name; };
  const std::size_t count = static_cast<std::size_t>(std::unique(pairs, end, sameName) - pairs);
  return signedURLWith(url, httpMethod, consumer, token, pairs, count);
}

std::string SignatureHelper::getXAuthSignatureUrlString(const std::string& url,
                                                        const NBAuthOperationItem& item) {
  const std::string nonce = NSStringHelper::genericGUID();
  const std::string timestamp = NSStringHelper::timestamp();
  const NBParameters params = getXAuthParameters(item, nonce, timestamp);
  const std::string signature = getSignatureInternal(url, required(item.httpMethod, "HTTP method"),
                                                     *item.consumer, nullptr, params);
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
  const std::string signature = getSignatureInternal(url, required(item.httpMethod, "HTTP method"),
                                                     *item.consumer, nullptr, params);
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
