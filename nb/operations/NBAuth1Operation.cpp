#include "nb/operations/NBAuth1Operation.h"

#include "nb/Private/NBHosts.h"
#include "nb/operations/NBXAuthOperation.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

void NBAuth1Operation::willStartRequest() {
  _token.reset();
  _oauthState = 0;
}

Result<NBServiceRequest> NBAuth1Operation::requestForState(std::int32_t state) const {
  if (Status status = missingConsumer(); !status.ok()) return status;
  NBServiceRequest plan;
  plan.signing = NBServiceRequest::Signing::kConsumer;
  switch (state) {
    case 0:
      plan.url = "https://" + NBHosts::apiHost() + "/open/requestToken";
      return plan;
    case 1:
      if (!_token || !_token->token)
        return Status::invalidArgument("no request token to authorise");
      // The token goes into the query as the service sent it.
      if (!NBServiceRequest::isURLPathText(*_token->token)) {
        return Status::corruption("the service's request token cannot stand in a URL");
      }
      plan.url = "https://" + NBHosts::webHost() +
                 "/api.php?ac=open&op=authorise&oauth_token=" + *_token->token;
      plan.signing = NBServiceRequest::Signing::kNone;
      return plan;
    case 2:
      if (!_token || !_token->token) return Status::invalidArgument("no request token to exchange");
      plan.url = "https://" + NBHosts::apiHost() + "/open/accessToken";
      plan.token = _token;
      return plan;
    default:
      return Status::invalidArgument("no such step of the sign-in flow");
  }
}

Result<NBServiceRequest> NBAuth1Operation::serviceRequest() const {
  return requestForState(_oauthState);
}

Result<NBNetworkOperation::Step> NBAuth1Operation::readReply(
    const std::optional<std::string>& body) {
  switch (_oauthState) {
    case 0: {
      Result<JsonValue> object = NBReply::object(body);
      if (!object.ok()) return object.status();
      _token = NBXAuthOperation::parseToken(*object);
      if (!_token->token) return Status::corruption("the service's reply holds no request token");
      _oauthState = 1;
      return nextStep(requestForState(1));
    }
    case 1:
      _oauthState = 2;
      return nextStep(requestForState(2));
    case 2: {
      _token.reset();
      return recordStep(NBXAuthOperation::accessTokenFromReply(body));
    }
    default:
      return Status::internal("no such step of the sign-in flow");
  }
}

}  // namespace nb
