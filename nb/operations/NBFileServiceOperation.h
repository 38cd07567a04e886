// NBFileServiceOperation is the base of every file-service operation and holds
// the standard request procedure, written once: read the consumer and access
// token of its credential source (NBAPIInfo unless one is set), build the
// call's endpoint and parameters, sign them and start a GET with the operation
// as the transport's delegate; at the end turn the reply body into the success
// result.
//
// A subclass supplies two things: serviceRequest() (endpoint and parameters, or
// the reason the call cannot be made) and resultFromReply() (the result, or the
// reason the reply cannot be understood). Calls that need another method or a
// body (uploads) use signedURLString() and start their own URLRequest.
// Used from the thread whose run loop runs the request.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "nb/Private/NBCredentialSource.h"
#include "nb/Private/NBNetworkOperation.h"
#include "nb/operations/NBFailure.h"
#include "nb/operations/NBServiceRequest.h"

namespace nb {

class NBFileServiceOperation : public NBNetworkOperation {
 public:
  using NBNetworkOperation::NBNetworkOperation;

  // With no access token stored this does nothing and reports nothing. A call
  // that cannot be made (missing or unusable parameters) reports operationFail
  // before any request. A request of this operation that is still running is
  // cancelled first, so the delegate hears exactly one outcome: the latest call's.
  void executeOperation() override;

  // Where this operation reads its consumer and access token; null (the
  // default) means NBCredentialSource::keychain(). Set it before executeOperation().
  void setCredentialSource(std::shared_ptr<NBCredentialSource> source) {
    _credentialSource = std::move(source);
  }

  // The endpoint and parameters of this call, built from the parameter record.
  virtual std::variant<NBServiceRequest, NBFailure> serviceRequest() const = 0;
  // The success result for a complete reply body (absent: no body was kept).
  virtual std::variant<NBResult, NBFailure> resultFromReply(
      const std::optional<std::string>& body) const = 0;

 protected:
  // The signed URL of `request` under the source's consumer and token; nothing
  // (monostate) when no token is stored, as the procedure then stays silent; a
  // failure when a token is stored without a usable consumer.
  std::variant<std::monostate, std::string, NBFailure> signedURLString(
      const NBServiceRequest& request, const std::string& httpMethod) const;

  // The parameter record as T, or null when it is missing or of another type.
  template <class T>
  const T* itemAs() const {
    return dynamic_cast<const T*>(_oprationItem.get());
  }

  // Called by executeOperation() once a token is known to be stored and any
  // earlier request of this operation is cancelled, before the request is
  // built. Base: nothing.
  virtual void willStartRequest() {}

  // Reports resultFromReply()'s outcome. An absent body, which follows only a
  // status refused (and reported) by a subclass's handleErrorCode(), reports nothing.
  void handleSuccessData(const std::optional<std::string>& data) override;

 private:
  // The credential source in force: the one set, else the keychain's.
  const NBCredentialSource& credentials() const;

  std::shared_ptr<NBCredentialSource> _credentialSource;
};

}  // namespace nb
