#include "nb/operations/NBXAuthOperation.h"

#include "nb/Private/NBHosts.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/SignatureHelper.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

std::variant<NBSignedRequest, NBFailure> NBXAuthOperation::signedRequest() const {
  const auto* item = dynamic_cast<const NBAuthOperationItem*>(_oprationItem.get());
  if (item == nullptr) return NBFailure{"a login needs an NBAuthOperationItem"};
  if (auto failure = NBSignedRequest::missingConsumer(item)) return *failure;
  if (!item->userName) return NBFailure{"a login needs a user name"};
  if (!item->password) return NBFailure{"a login needs a password"};

  NBAuthOperationItem signing = *item;
  if (!signing.httpMethod) signing.httpMethod = "POST";
  const std::string endpoint = "https://" + NBHosts::apiHost() + "/open/xAccessToken";
  return NBSignedRequest{
      "POST", SignatureHelper::getXAuthSignatureUrlString(endpoint, signing),
      "x_auth_password=" + NSStringHelper::urlEncodeCovertString(*item->password)};
}

std::shared_ptr<NBToken> NBXAuthOperation::parseToken(const JsonValue& object) {
  return std::make_shared<NBToken>(NBReply::string(object, "oauth_token"),
                                   NBReply::string(object, "oauth_token_secret"));
}

std::variant<std::shared_ptr<NBToken>, NBFailure> NBXAuthOperation::accessTokenFromReply(
    const std::optional<std::string>& body) {
  auto object = NBReply::object(body);
  if (auto* failure = std::get_if<NBFailure>(&object)) return *failure;
  auto token = parseToken(std::get<JsonValue>(object));
  if (!token->token || !token->tokenSecret) {
    return NBFailure{"the service's reply holds no access token"};
  }
  return token;
}

void NBXAuthOperation::handleSuccessData(const std::optional<std::string>& data) {
  reportRecord(accessTokenFromReply(data));
}

}  // namespace nb
