#include "nb/operations/NBGetVerificationOperation.h"

#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"
#include "nb/operations/NBServiceRequest.h"

namespace nb {

std::variant<NBSignedRequest, NBFailure> NBGetVerificationOperation::signedRequest() const {
  if (auto failure = NBSignedRequest::missingConsumer(_oprationItem.get())) return *failure;
  return NBSignedRequest{
      "GET",
      NBServiceRequest{"http://" + NBHosts::apiHost() + "/open/verificationURL", {}}
          .signedURLString("GET", *_oprationItem->consumer, nullptr),
      std::nullopt};
}

std::variant<std::shared_ptr<NBVerification>, NBFailure>
NBGetVerificationOperation::verificationFromReply(const std::optional<std::string>& body) {
  auto object = NBReply::object(body);
  if (auto* failure = std::get_if<NBFailure>(&object)) return *failure;
  auto verification = std::make_shared<NBVerification>();
  verification->urlString = NBReply::string(std::get<JsonValue>(object), "url");
  verification->authID = NBReply::string(std::get<JsonValue>(object), "authid");
  return verification;
}

void NBGetVerificationOperation::handleSuccessData(const std::optional<std::string>& data) {
  reportRecord(verificationFromReply(data));
}

}  // namespace nb
