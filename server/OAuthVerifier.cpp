#include "server/OAuthVerifier.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "nb/Private/NSDataBase64Helper.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/SignatureHelper.h"
#include "nb/platform/AsciiText.h"
#include "server/Secrets.h"

namespace nb::server {
namespace {

OAuthOutcome refuse(int status, const char* keyword) {
  OAuthOutcome outcome;
  outcome.status = status;
  outcome.keyword = keyword;
  return outcome;
}

// Host as the client wrote it in its URL: lower case, default port dropped.
std::string normalisedHost(const std::string& scheme, const std::string& host) {
  std::string h = ascii::lowercase(host);
  const std::string defaultPort = scheme == "https" ? ":443" : ":80";
  if (h.size() > defaultPort.size() &&
      h.compare(h.size() - defaultPort.size(), defaultPort.size(), defaultPort) == 0) {
    h.resize(h.size() - defaultPort.size());
  }
  return h;
}

// Protocol parameters come once each, and no longer than any client of ours
// sends them: a second copy (in the query, the header or the form) would leave
// the choice of value to the parser, and an endless nonce would be stored.
constexpr std::size_t kMaxNonce = 64;
constexpr std::size_t kMaxProtocolValue = 256;

bool protocolParametersSound(const RequestParameters& params) {
  std::vector<std::string_view> seen;
  for (const auto& [name, value] : params.pairs()) {
    if (name.rfind("oauth_", 0) != 0 && name.rfind("x_auth_", 0) != 0) continue;
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) return false;
    seen.push_back(name);
    const bool oauth = name.rfind("oauth_", 0) == 0;
    if (oauth && value.size() > (name == "oauth_nonce" ? kMaxNonce : kMaxProtocolValue)) {
      return false;
    }
  }
  return true;
}

bool allDigits(const std::string& s) {
  return !s.empty() && s.size() <= 18 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<RequestParameters> OAuthVerifier::parseAuthorization(std::string_view header) {
  RequestParameters out;
  if (!RequestParameters::addAuthorization(header, &out)) return std::nullopt;
  return out;
}

std::string OAuthVerifier::baseString(const SignedRequest& request,
                                      const RequestParameters& params) {
  std::vector<std::pair<std::string, std::string>> encoded;
  for (const auto& [name, value] : params.pairs()) {
    if (name == "oauth_signature") continue;
    if (request.omitEmptyChallenge && value.empty() &&
        (name == "verification_code" || name == "authid")) {
      continue;
    }
    encoded.emplace_back(NSStringHelper::urlEncodeCovertString(name),
                         NSStringHelper::urlEncodeCovertString(value));
  }
  std::sort(encoded.begin(), encoded.end());
  std::string joined;
  for (const auto& [name, value] : encoded) {
    if (!joined.empty()) joined += '&';
    joined += name + "=" + value;
  }
  const auto query = request.target.find('?');
  const std::string url = request.scheme + "://" + normalisedHost(request.scheme, request.host) +
                          request.target.substr(0, query);
  return NSStringHelper::urlEncodeCovertString(request.method) + "&" +
         NSStringHelper::urlEncodeCovertString(url) + "&" +
         NSStringHelper::urlEncodeCovertString(joined);
}

OAuthOutcome OAuthVerifier::verify(const SignedRequest& request, bool recordNonce) {
  const auto query = request.target.find('?');
  auto params = RequestParameters::parse(query == std::string::npos
                                             ? std::string_view()
                                             : std::string_view(request.target).substr(query + 1));
  if (!params) return refuse(400, "bad request");
  if (request.formBody) {
    auto form = RequestParameters::parse(*request.formBody);
    if (!form) return refuse(400, "bad request");
    for (const auto& [name, value] : form->pairs()) params->add(name, value);
  }
  if (!request.authorization.empty()) {
    if (const auto header = parseAuthorization(request.authorization)) {
      for (const auto& [name, value] : header->pairs()) params->add(name, value);
    } else if (ascii::lowercase(request.authorization.substr(0, 6)) == "oauth ") {
      return refuse(400, "bad request");
    }
    // Another scheme (Basic, Bearer) is simply not ours to read.
  }

  if (!protocolParametersSound(*params)) return refuse(400, "bad request");

  const auto consumerKey = params->get("oauth_consumer_key");
  const auto signature = params->get("oauth_signature");
  const auto method = params->get("oauth_signature_method");
  const auto timestamp = params->get("oauth_timestamp");
  const auto nonce = params->get("oauth_nonce");
  const auto version = params->get("oauth_version");
  if (!consumerKey || !signature || !method || !timestamp || !nonce || nonce->empty()) {
    return refuse(400, "bad request");
  }
  if (*method != "HMAC-SHA1" || (version && *version != "1.0")) {
    return refuse(400, "not supported auth mode");
  }
  const auto consumerSecret = accounts_.consumerSecret(*consumerKey);
  if (!consumerSecret) return refuse(401, "bad consumer key");

  if (!allDigits(*timestamp)) return refuse(401, "request expired");
  std::int64_t ts = 0;
  std::from_chars(timestamp->data(), timestamp->data() + timestamp->size(), ts);
  const std::int64_t now = nowSeconds();
  if (ts < now - kWindowSeconds || ts > now + kWindowSeconds) {
    return refuse(401, "request expired");
  }

  std::optional<TokenRecord> token;
  if (const auto tokenText = params->get("oauth_token")) {
    token = accounts_.token(*tokenText);
    if (!token || token->revoked || token->consumer != *consumerKey) {
      return refuse(401, "authorization expired");
    }
  }

  const std::string key =
      NSStringHelper::urlEncodeCovertString(*consumerSecret) + "&" +
      NSStringHelper::urlEncodeCovertString(token ? std::optional<std::string_view>(token->secret)
                                                  : std::nullopt);
  const auto digest = SignatureHelper::HMAC_SHA1_Content(baseString(request, *params), key);
  const std::string expected =
      NSDataBase64Helper::base64StringFromData(digest.data(), digest.size());
  if (!Secrets::equalConstantTime(expected, *signature)) return refuse(401, "bad signature");

  if (recordNonce) {
    const auto fresh = accounts_.recordNonce(*consumerKey, *nonce, 2 * kWindowSeconds);
    if (!fresh.ok()) return refuse(Database::replyStatus(fresh.status()), "server error");
    if (!*fresh) return refuse(401, "reused nonce");
  }

  OAuthOutcome outcome;
  outcome.consumer = *consumerKey;
  outcome.token = std::move(token);
  outcome.params = std::move(*params);
  return outcome;
}

}  // namespace nb::server
