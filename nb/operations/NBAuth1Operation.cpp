#include "nb/operations/NBAuth1Operation.h"

#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"
#include "nb/operations/NBServiceRequest.h"
#include "nb/operations/NBXAuthOperation.h"

namespace nb {

void NBAuth1Operation::executeOperation() {
  cancelOperation();
  _token.reset();
  startState(0);
}

std::variant<NBSignedRequest, NBFailure> NBAuth1Operation::requestForState(
    std::int32_t state) const {
  if (auto failure = NBSignedRequest::missingConsumer(_oprationItem.get())) return *failure;
  const NBConsumer& consumer = *_oprationItem->consumer;
  switch (state) {
    case 0:
      return NBSignedRequest{
          "GET",
          NBServiceRequest{"https://" + NBHosts::apiHost() + "/open/requestToken", {}}
              .signedURLString("GET", consumer, nullptr),
          std::nullopt};
    case 1:
      if (!_token || !_token->token) return NBFailure{"no request token to authorise"};
      // The token goes into the query as the service sent it.
      if (!NBServiceRequest::isURLPathText(*_token->token)) {
        return NBFailure{"the service's request token cannot stand in a URL"};
      }
      return NBSignedRequest{"GET",
                             "https://" + NBHosts::webHost() +
                                 "/api.php?ac=open&op=authorise&oauth_token=" + *_token->token,
                             std::nullopt};
    case 2:
      if (!_token || !_token->token) return NBFailure{"no request token to exchange"};
      return NBSignedRequest{
          "GET",
          NBServiceRequest{"https://" + NBHosts::apiHost() + "/open/accessToken", {}}
              .signedURLString("GET", consumer, _token.get()),
          std::nullopt};
    default:
      return NBFailure{"no such step of the sign-in flow"};
  }
}

std::variant<NBSignedRequest, NBFailure> NBAuth1Operation::signedRequest() const {
  return requestForState(_oauthState);
}

void NBAuth1Operation::startState(std::int32_t state) {
  _oauthState = state;
  startSignedRequest(signedRequest());
}

void NBAuth1Operation::handleSuccessData(const std::optional<std::string>& data) {
  switch (_oauthState) {
    case 0: {
      auto object = NBReply::object(data);
      if (auto* failure = std::get_if<NBFailure>(&object)) {
        reportFail(failure->message);
        return;
      }
      _token = NBXAuthOperation::parseToken(std::get<JsonValue>(object));
      if (!_token->token) {
        reportFail("the service's reply holds no request token");
        return;
      }
      startState(1);
      return;
    }
    case 1:
      startState(2);
      return;
    case 2: {
      _token.reset();
      auto token = NBXAuthOperation::accessTokenFromReply(data);
      if (auto* failure = std::get_if<NBFailure>(&token)) {
        reportFail(failure->message);
        return;
      }
      _token = std::get<std::shared_ptr<NBToken>>(token);
      reportSuccess(NBResult::record(_token));
      _token.reset();
      return;
    }
    default:
      return;
  }
}

}  // namespace nb
