// SignatureHelper signs requests with OAuth 1.0 HMAC-SHA1 and builds the three
// layouts of signed URL the service accepts: the generic one (every call but
// two), the xAuth login's and the registration's. Stateless; any thread. Each
// URL builder draws its own nonce and timestamp.
//
// Preconditions: the consumer key and, for the login and registration layouts,
// user name, password and device id must be present; a missing one is a
// programming error and throws std::invalid_argument. Operations check these
// before they sign and report a missing value through their delegate.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/Private/NBToken.h"

namespace nb {

// Parameter names to unencoded values.
using NBParameters = std::map<std::string, std::string>;

// The ordering of encoded parameter names in the signature base string:
// ascending byte order of the names; equal names order by their values in
// `context`. Returns <0, 0 or >0.
int SortParameter(const std::string& a, const std::string& b, const NBParameters& context);

class SignatureHelper {
 public:
  using Digest = std::array<std::uint8_t, 20>;

  static Digest HMAC_SHA1_Content(std::string_view content, std::string_view key);
  static std::string getSignatureMethod() { return "HMAC-SHA1"; }
  static std::string getOAuthVersion() { return "1.0"; }

  // The OAuth parameters; "oauth_token" only when `token` is given.
  static NBParameters getOAuthParameters(const NBConsumer& consumer, const NBToken* token,
                                         const std::string& nonce, const std::string& timestamp);
  // The OAuth parameters (no token) plus x_auth_username, x_auth_password and
  // x_auth_mode "client_auth".
  static NBParameters getXAuthParameters(const NBAuthOperationItem& item, const std::string& nonce,
                                         const std::string& timestamp);
  // The OAuth parameters (no token) plus username, password, device_id and,
  // when present, verification_code and authid.
  static NBParameters getRegisterParameters(const NBRegisterOperationItem& item,
                                            const std::string& nonce,
                                            const std::string& timestamp);

  // The Base64 HMAC-SHA1 signature (28 characters) of the request: `params`
  // merged with the pairs of the URL's own query (which win), keyed by the
  // encoded consumer secret "&" the encoded token secret.
  static std::string getSignatureInternal(const std::string& url, const std::string& httpMethod,
                                          const NBConsumer& consumer, const NBToken* token,
                                          const NBParameters& params);
  // The signature over a fresh OAuth parameter set (its nonce is not returned).
  static std::string getSignature(const std::string& url, const std::string& httpMethod,
                                  const NBConsumer& consumer, const NBToken* token);
  // The encoded pairs "name=value" joined by "&", in the map's order.
  static std::string serialParameters(const NBParameters& params);

  // url "?oauth_signature=" sig "&" the OAuth and extra parameters. `url` must
  // carry no query of its own; `extra` (may be null) values are unencoded and
  // replace OAuth parameters of the same name.
  static std::string getSignatureUrlString(const std::string& url, const std::string& httpMethod,
                                           const NBConsumer& consumer, const NBToken* token,
                                           const NBParameters* extra);
  // The same with `extra` as name-value pairs in any order; a name given twice
  // counts once, with its first value (as in a map made from the pairs).
  static std::string getSignatureUrlString(
      const std::string& url, const std::string& httpMethod, const NBConsumer& consumer,
      const NBToken* token, const std::vector<std::pair<std::string, std::string>>& extra);
  // The login URL; the password is signed but left for the request body.
  static std::string getXAuthSignatureUrlString(const std::string& url,
                                                const NBAuthOperationItem& item);
  // The registration URL; the password is signed but left for the request body.
  static std::string getRegisterSignatureUrlString(const std::string& url,
                                                   const NBRegisterOperationItem& item);
};

}  // namespace nb
