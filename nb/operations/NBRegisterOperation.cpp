#include "nb/operations/NBRegisterOperation.h"

#include "nb/Private/NBHosts.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/SignatureHelper.h"
#include "nb/operations/NBReply.h"

namespace nb {

std::variant<NBSignedRequest, NBFailure> NBRegisterOperation::signedRequest() const {
  const auto* item = dynamic_cast<const NBRegisterOperationItem*>(_oprationItem.get());
  if (item == nullptr) return NBFailure{"a registration needs an NBRegisterOperationItem"};
  if (auto failure = NBSignedRequest::missingConsumer(item)) return *failure;
  if (!item->userName) return NBFailure{"a registration needs a user name"};
  if (!item->password) return NBFailure{"a registration needs a password"};
  if (!item->deviceID) return NBFailure{"a registration needs the device identifier"};

  NBRegisterOperationItem signing = *item;
  if (!signing.httpMethod) signing.httpMethod = "POST";
  const std::string endpoint = "https://" + NBHosts::apiHost() + "/open/register";
  return NBSignedRequest{"POST", SignatureHelper::getRegisterSignatureUrlString(endpoint, signing),
                         "password=" + NSStringHelper::urlEncodeCovertString(*item->password)};
}

void NBRegisterOperation::handleSuccessData(const std::optional<std::string>& data) {
  // Only the service's JSON object confirms the account (a failing "msg" has
  // been reported already); a proxy's error page or an empty reply does not.
  auto reply = NBReply::object(data);
  if (const auto* failure = std::get_if<NBFailure>(&reply)) {
    reportFail(failure->message);
    return;
  }
  reportSuccess(NBResult());
}

}  // namespace nb
