// NBRegisterOperation creates an account from an NBRegisterOperationItem: user
// name, password, the answered challenge and the device identifier, signed with
// the consumer only. The password travels only in the body. On success the
// delegate receives nil. Same threading as NBOperation.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "nb/Private/NBNetworkOperation.h"
#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/operations/NBSignedRequest.h"

namespace nb {

class NBRegisterOperation : public NBNetworkOperation {
 public:
  using NBNetworkOperation::NBNetworkOperation;

  // A missing consumer key, user name, password or device identifier is
  // reported through operationFail before any request. A registration of this
  // operation that is still running is cancelled first.
  void executeOperation() override;

  // POST https://<API host>/open/register in the registration layout, body
  // "password=<encoded password>". An absent challenge code or id is sent as
  // an empty field and left out of the signature. The item's httpMethod is
  // what gets signed; when it is absent "POST", the method actually sent, is signed.
  std::variant<NBSignedRequest, NBFailure> signedRequest() const;

 protected:
  void handleSuccessData(const std::optional<std::string>& data) override;
};

}  // namespace nb
