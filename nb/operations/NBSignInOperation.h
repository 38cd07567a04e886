// NBSignInOperation is the base of the sign-in and registration operations: each
// builds one NBSignedRequest from its item and sends it. This class holds the
// sending, written once: cancel a request still running, then start the new one
// or report why it cannot be made. Same threading as NBOperation.
#pragma once

#include <memory>
#include <variant>

#include "nb/Private/NBNetworkOperation.h"
#include "nb/operations/NBFailure.h"
#include "nb/operations/NBSignedRequest.h"

namespace nb {

class NBSignInOperation : public NBNetworkOperation {
 public:
  using NBNetworkOperation::NBNetworkOperation;

  // Cancels a request of this operation that is still running, then sends
  // signedRequest(); a request that cannot be made is reported through
  // operationFail before anything is sent.
  void executeOperation() override;

  // The request this operation sends, or the reason it cannot be made.
  virtual std::variant<NBSignedRequest, NBFailure> signedRequest() const = 0;

 protected:
  // Starts `request`, or reports its failure through operationFail.
  void startSignedRequest(const std::variant<NBSignedRequest, NBFailure>& request);

  // Reports a reply's record as the success result, or its failure.
  template <class T>
  void reportRecord(const std::variant<std::shared_ptr<T>, NBFailure>& reply) {
    if (const auto* failure = std::get_if<NBFailure>(&reply)) {
      reportFail(failure->message);
    } else {
      reportSuccess(NBResult::record(std::get<std::shared_ptr<T>>(reply)));
    }
  }
};

}  // namespace nb
