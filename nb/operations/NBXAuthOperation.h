// NBXAuthOperation exchanges a user name and password (NBAuthOperationItem) for
// an access token in one signed POST and hands the delegate an NBToken. The
// password travels only in the body. Same threading as NBOperation.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NBToken.h"
#include "nb/operations/NBSignInOperation.h"

namespace nb {

class NBXAuthOperation : public NBSignInOperation {
 public:
  using NBSignInOperation::NBSignInOperation;

  // executeOperation() sends the login. A missing consumer key, user name or
  // password is reported through operationFail before any request.

  // POST https://<API host>/open/xAccessToken in the xAuth layout, body
  // "x_auth_password=<encoded password>". The item's httpMethod is what gets
  // signed; when it is absent "POST", the method actually sent, is signed.
  Result<NBServiceRequest> serviceRequest() const override;

  // The token of a reply object: "oauth_token" and "oauth_token_secret".
  static std::shared_ptr<NBToken> parseToken(const JsonValue& object);
  // An access token from a reply body. A reply that is not a JSON object, or
  // lacks either value, fails: an empty token must never be stored as a login.
  static Result<std::shared_ptr<NBToken>> accessTokenFromReply(
      const std::optional<std::string>& body);

 protected:
  Result<Step> readReply(const std::optional<std::string>& body) override;
};

}  // namespace nb
