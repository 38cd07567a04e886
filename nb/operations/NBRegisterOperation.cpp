#include "nb/operations/NBRegisterOperation.h"

#include "nb/Private/NBHosts.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/SignatureHelper.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

Result<NBServiceRequest> NBRegisterOperation::serviceRequest() const {
  const auto* item = dynamic_cast<const NBRegisterOperationItem*>(_oprationItem.get());
  if (item == nullptr) {
    return Status::invalidArgument("a registration needs an NBRegisterOperationItem");
  }
  if (Status status = missingConsumer(); !status.ok()) return status;
  if (!item->userName) return Status::invalidArgument("a registration needs a user name");
  if (!item->password) return Status::invalidArgument("a registration needs a password");
  if (!item->deviceID) {
    return Status::invalidArgument("a registration needs the device identifier");
  }
  NBRegisterOperationItem signing = *item;
  if (!signing.httpMethod) signing.httpMethod = "POST";
  const std::string endpoint = "https://" + NBHosts::apiHost() + "/open/register";
  NBServiceRequest plan(SignatureHelper::getRegisterSignatureUrlString(endpoint, signing));
  plan.httpMethod = "POST";
  plan.signing = NBServiceRequest::Signing::kNone;  // the registration layout signs it above
  plan.formBody = "password=" + NSStringHelper::urlEncodeCovertString(*item->password);
  return plan;
}

Result<NBNetworkOperation::Step> NBRegisterOperation::readReply(
    const std::optional<std::string>& body) {
  // Only the service's JSON object confirms the account (a failing "msg" has
  // been reported already); a proxy's error page or an empty reply does not.
  if (Result<JsonValue> object = NBReply::object(body); !object.ok()) return object.status();
  return Step(NBResult());
}

}  // namespace nb
