#include "nb/operations/NBXAuthOperation.h"

#include "nb/Private/NBHosts.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/SignatureHelper.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

Result<NBServiceRequest> NBXAuthOperation::serviceRequest() const {
  const auto* item = dynamic_cast<const NBAuthOperationItem*>(_oprationItem.get());
  if (item == nullptr) return Status::invalidArgument("a login needs an NBAuthOperationItem");
  if (Status status = missingConsumer(); !status.ok()) return status;
  if (!item->userName) return Status::invalidArgument("a login needs a user name");
  if (!item->password) return Status::invalidArgument("a login needs a password");

  NBAuthOperationItem signing = *item;
  if (!signing.httpMethod) signing.httpMethod = "POST";
  const std::string endpoint = "https://" + NBHosts::apiHost() + "/open/xAccessToken";
  NBServiceRequest plan;
  plan.url = SignatureHelper::getXAuthSignatureUrlString(endpoint, signing);
  plan.httpMethod = "POST";
  plan.signing = NBServiceRequest::Signing::kNone;  // the xAuth layout signs it above
  plan.formBody = "x_auth_password=" + NSStringHelper::urlEncodeCovertString(*item->password);
  return plan;
}

std::shared_ptr<NBToken> NBXAuthOperation::parseToken(const JsonValue& object) {
  return std::make_shared<NBToken>(NBReply::string(object, "oauth_token"),
                                   NBReply::string(object, "oauth_token_secret"));
}

Result<std::shared_ptr<NBToken>> NBXAuthOperation::accessTokenFromReply(
    const std::optional<std::string>& body) {
  Result<JsonValue> object = NBReply::object(body);
  if (!object.ok()) return object.status();
  auto token = parseToken(*object);
  if (!token->token || !token->tokenSecret) {
    return Status::corruption("the service's reply holds no access token");
  }
  return token;
}

Result<NBNetworkOperation::Step> NBXAuthOperation::readReply(
    const std::optional<std::string>& body) {
  return recordStep(accessTokenFromReply(body));
}

}  // namespace nb
