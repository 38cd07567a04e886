// NBAuth1Operation obtains an access token through the three OAuth 1.0 steps,
// run one after another on this operation: a request token, the service's
// authorisation page for it, and the exchange for an access token. Only the
// item's consumer is used. The delegate hears once: an NBToken (the access
// token) or a failure at the step where it happened. Same threading as NBOperation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "nb/Private/NBToken.h"
#include "nb/operations/NBSignInOperation.h"

namespace nb {

class NBAuth1Operation : public NBSignInOperation {
 public:
  using NBSignInOperation::NBSignInOperation;

  // Starts the flow at step 0; a missing consumer key is reported through
  // operationFail before any request. A flow still running is cancelled first.
  void executeOperation() override;

  // The request of step `state` under the current request token:
  // 0 signed GET https://<API host>/open/requestToken (no token);
  // 1 plain GET https://<web host>/api.php?ac=open&op=authorise&oauth_token=<token>;
  // 2 signed GET https://<API host>/open/accessToken (signed with the request token).
  std::variant<NBSignedRequest, NBFailure> requestForState(std::int32_t state) const;
  // The request of the step in flight: requestForState(oauthState()).
  std::variant<NBSignedRequest, NBFailure> signedRequest() const override;

  std::int32_t oauthState() const { return _oauthState; }

 protected:
  void handleSuccessData(const std::optional<std::string>& data) override;

  std::shared_ptr<NBToken> _token;  // the request token between steps 0 and 2
  std::int32_t _oauthState = 0;     // the step whose request is in flight

 private:
  // Sends the request of `state`, or reports why it cannot be made.
  void startState(std::int32_t state);
};

}  // namespace nb
