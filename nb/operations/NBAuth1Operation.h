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

#include "nb/Private/NBToken.h"
#include "nb/operations/NBSignInOperation.h"

namespace nb {

class NBAuth1Operation : public NBSignInOperation {
 public:
  using NBSignInOperation::NBSignInOperation;

  // executeOperation() starts the flow at step 0; a missing consumer key is
  // reported through operationFail before any request. A flow still running is
  // cancelled first. Each step is one round of the request procedure.

  // The request of step `state` under the current request token:
  // 0 signed GET https://<API host>/open/requestToken (no token);
  // 1 plain GET https://<web host>/api.php?ac=open&op=authorise&oauth_token=<token>;
  // 2 signed GET https://<API host>/open/accessToken (signed with the request token).
  Result<NBServiceRequest> requestForState(std::int32_t state) const;
  // The request of the step in flight: requestForState(oauthState()).
  Result<NBServiceRequest> serviceRequest() const override;

  std::int32_t oauthState() const { return _oauthState; }

 protected:
  void willStartRequest() override;
  // Step 0's reply holds the request token and leads to step 1, step 1's page
  // to step 2, step 2's reply holds the access token: the outcome.
  Result<Step> readReply(const std::optional<std::string>& body) override;

  std::shared_ptr<NBToken> _token;  // the request token between steps 0 and 2
  std::int32_t _oauthState = 0;     // the step whose request is in flight
};

}  // namespace nb
