// NBRegisterOperation creates an account from an NBRegisterOperationItem: user
// name, password, the answered challenge and the device identifier, signed with
// the consumer only. The password travels only in the body. On success the
// delegate receives nil once the service has confirmed the account with a JSON
// object; any other reply is a failure. Same threading as NBOperation.
#pragma once

#include <optional>
#include <string>

#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/operations/NBSignInOperation.h"

namespace nb {

class NBRegisterOperation : public NBSignInOperation {
 public:
  using NBSignInOperation::NBSignInOperation;

  // executeOperation() sends the registration. A missing consumer key, user
  // name, password or device identifier is reported through operationFail
  // before any request.

  // POST https://<API host>/open/register in the registration layout, body
  // "password=<encoded password>". An absent challenge code or id is sent as
  // an empty field and left out of the signature. The item's httpMethod is
  // what gets signed; when it is absent "POST", the method actually sent, is signed.
  Result<NBServiceRequest> serviceRequest() const override;

 protected:
  Result<Step> readReply(const std::optional<std::string>& body) override;
};

}  // namespace nb
