#include "nb/operations/NBGetVerificationOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

Result<NBServiceRequest> NBGetVerificationOperation::serviceRequest() const {
  if (Status status = missingConsumer(); !status.ok()) return status;
  NBServiceRequest plan(NBAPIInfo::fileCallScheme() + NBHosts::apiHost() + "/open/verificationURL");
  plan.signing = NBServiceRequest::Signing::kConsumer;
  return plan;
}

Result<std::shared_ptr<NBVerification>> NBGetVerificationOperation::verificationFromReply(
    const std::optional<std::string>& body) {
  Result<JsonValue> object = NBReply::object(body);
  if (!object.ok()) return object.status();
  auto verification = std::make_shared<NBVerification>();
  verification->urlString = NBReply::string(*object, "url");
  verification->authID = NBReply::string(*object, "authid");
  return verification;
}

Result<NBNetworkOperation::Step> NBGetVerificationOperation::readReply(
    const std::optional<std::string>& body) {
  return recordStep(verificationFromReply(body));
}

}  // namespace nb
