// OAuthVerifier checks an OAuth 1.0 HMAC-SHA1 request exactly as it arrived:
// the base string is rebuilt from the method, scheme://Host and the raw path,
// the query parameters, the OAuth Authorization header and, for the login and
// registration posts, the form body. Borrows the AccountStore; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/AccountStore.h"
#include "server/RequestParameters.h"

namespace nb::server {

struct SignedRequest {
  std::string method;
  std::string scheme;         // "http" or "https"
  std::string host;           // the Host header as sent
  std::string target;         // the raw request target, query included
  std::string authorization;  // the Authorization header, may be empty
  const std::string* formBody = nullptr;  // signed form body, or none
  // Registration signs "verification_code" and "authid" only when not empty.
  bool omitEmptyChallenge = false;
};

struct OAuthOutcome {
  int status = 200;
  std::string keyword;  // the refusal's service keyword; empty when accepted
  std::string consumer;
  std::optional<TokenRecord> token;
  RequestParameters params;  // every parameter sent, decoded
  bool ok() const { return keyword.empty(); }
};

class OAuthVerifier {
 public:
  static constexpr std::int64_t kWindowSeconds = 300;

  explicit OAuthVerifier(AccountStore& accounts) : accounts_(accounts) {}

  // Refusals: 400 "bad request" (malformed, missing, repeated or overlong protocol
  // parameters), 400 "not supported auth mode" (another signature method), 401 "bad consumer key",
  // 401 "request expired" (timestamp outside the window), 401 "authorization
  // expired" (unknown or revoked token), 401 "bad signature", 401 "reused nonce".
  // `recordNonce` false checks all but the nonce and leaves it unspent.
  OAuthOutcome verify(const SignedRequest& request, bool recordNonce = true);

  // The parameters of an `OAuth k="v", ...` Authorization header, decoded
  // ("realm" left out); nullopt when it is not one or is malformed.
  static std::optional<RequestParameters> parseAuthorization(std::string_view header);

  // The signature base string of `request` over `params` (oauth_signature left out).
  static std::string baseString(const SignedRequest& request, const RequestParameters& params);

 private:
  AccountStore& accounts_;
};

}  // namespace nb::server
