#include "nb/operations/NBFileServiceOperation.h"

#include "nb/platform/URLRequest.h"

namespace nb {

void NBFileServiceOperation::executeOperation() {
  if (!credentials().token()) return;
  cancelOperation();
  willStartRequest();

  auto request = serviceRequest();
  if (auto* failure = std::get_if<NBFailure>(&request)) {
    reportFail(failure->message);
    return;
  }
  auto url = signedURLString(std::get<NBServiceRequest>(request), "GET");
  if (auto* failure = std::get_if<NBFailure>(&url)) {
    reportFail(failure->message);
    return;
  }
  if (auto* text = std::get_if<std::string>(&url)) {
    startConnection(URLRequest::requestWithURL(*text));
  }
}

std::variant<std::monostate, std::string, NBFailure> NBFileServiceOperation::signedURLString(
    const NBServiceRequest& request, const std::string& httpMethod) const {
  const NBCredentialSource& source = credentials();
  const std::shared_ptr<NBToken> token = source.token();
  if (!token) return std::monostate{};
  const std::shared_ptr<NBConsumer> consumer = source.consumer();
  if (!consumer || !consumer->key || !token->token) {
    return NBFailure{"no complete consumer and access token are stored; sign in again"};
  }
  return request.signedURLString(httpMethod, *consumer, token.get());
}

const NBCredentialSource& NBFileServiceOperation::credentials() const {
  return _credentialSource ? *_credentialSource : *NBCredentialSource::keychain();
}

void NBFileServiceOperation::handleSuccessData(const std::optional<std::string>& data) {
  // No body is kept after a status that handleErrorCode() refused and already
  // reported; the call has had its outcome.
  if (!data) return;
  auto outcome = resultFromReply(data);
  if (auto* failure = std::get_if<NBFailure>(&outcome)) {
    reportFail(failure->message);
  } else {
    reportSuccess(std::get<NBResult>(outcome));
  }
}

}  // namespace nb
