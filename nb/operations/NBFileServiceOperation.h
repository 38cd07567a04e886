// NBFileServiceOperation is the base of every file-service operation: calls
// signed with the consumer and access token of the operation's credential
// source (the keychain by default). The request procedure is NBNetworkOperation's;
// a subclass supplies two things: serviceRequest() (endpoint and parameters, or
// the reason the call cannot be made) and resultFromReply() (the result, or the
// reason the reply cannot be understood).
// Used from the thread whose run loop runs the request.
#pragma once

#include <optional>
#include <string>

#include "nb/Private/NBNetworkOperation.h"
#include "nb/Status.h"

namespace nb {

class NBFileServiceOperation : public NBNetworkOperation {
 public:
  using NBNetworkOperation::NBNetworkOperation;

  // The success result for a complete reply body (absent: it went to a file).
  virtual Result<NBResult> resultFromReply(const std::optional<std::string>& body) const = 0;

 protected:
  // Without an access token a file operation does nothing and reports nothing.
  bool needsAccessToken() const override { return true; }
  Result<Step> readReply(const std::optional<std::string>& body) override;

  // The parameter record as T, or null when it is missing or of another type.
  template <class T>
  const T* itemAs() const {
    return dynamic_cast<const T*>(_oprationItem.get());
  }
};

}  // namespace nb
