#include "nb/operations/NBSignInOperation.h"

namespace nb {

void NBSignInOperation::executeOperation() {
  cancelOperation();
  startSignedRequest(signedRequest());
}

void NBSignInOperation::startSignedRequest(
    const std::variant<NBSignedRequest, NBFailure>& request) {
  if (const auto* failure = std::get_if<NBFailure>(&request)) {
    reportFail(failure->message);
    return;
  }
  startConnection(std::get<NBSignedRequest>(request).toURLRequest());
}

}  // namespace nb
