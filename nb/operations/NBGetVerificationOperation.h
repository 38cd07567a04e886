// NBGetVerificationOperation fetches a registration challenge: the address of
// an image showing a code and the challenge's id. It signs with the item's
// consumer only (no token) and hands the delegate an NBVerification whose
// verifiCode is absent. Same threading as NBOperation.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nb/Private/NBVerification.h"
#include "nb/operations/NBSignInOperation.h"

namespace nb {

class NBGetVerificationOperation : public NBSignInOperation {
 public:
  using NBSignInOperation::NBSignInOperation;

  // executeOperation() fetches the challenge. A missing consumer key is
  // reported through operationFail before any request.

  // Signed GET http://<API host>/open/verificationURL with no parameters.
  Result<NBServiceRequest> serviceRequest() const override;

  // The challenge of a reply body ("url", "authid"; a missing one stays
  // absent). A reply that is not a JSON object fails.
  static Result<std::shared_ptr<NBVerification>> verificationFromReply(
      const std::optional<std::string>& body);

 protected:
  Result<Step> readReply(const std::optional<std::string>& body) override;
};

}  // namespace nb
