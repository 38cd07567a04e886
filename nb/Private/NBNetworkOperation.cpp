#include "nb/Private/NBNetworkOperation.h"

#include <utility>

#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "nb/Private/internal/CallTrace.h"
#include "nb/Private/internal/NBReplySink.h"
#include "nb/Private/internal/ServiceMessage.h"
#include "nb/platform/internal/Transport.h"

namespace nb {

NBNetworkOperation::~NBNetworkOperation() {
  if (_connection) _connection->cancel();
  _connection.reset();
  _sink.reset();
}

void NBNetworkOperation::SinkDeleter::operator()(NBReplySink* sink) const { delete sink; }

void NBNetworkOperation::setCredentialSource(std::shared_ptr<NBCredentialSource> source) {
  _credentials = std::move(source);
}

void NBNetworkOperation::setTransport(std::shared_ptr<Transport> transport) {
  _transport = std::move(transport);
}

std::shared_ptr<NBCredentialSource> NBNetworkOperation::credentialSource() const {
  return _credentials ? _credentials : NBCredentialSource::keychain();
}

Result<NBServiceRequest> NBNetworkOperation::serviceRequest() const {
  return Status::internal("this operation plans no request");
}

void NBNetworkOperation::executeOperation() {
  if (needsAccessToken() && !credentialSource()->token()) {
    // The delegate hears nothing, as designed; the reason is kept for callers
    // that wait for an outcome.
    CallTrace::start(*this);
    setFailureStatus(Status::unauthenticated("no access token is stored; sign in first"));
    CallTrace::end(*this, failureStatus());
    return;
  }
  cancelOperation();
  clearFailure();
  CallTrace::start(*this);
  willStartRequest();
  sendRequest(serviceRequest());
}

void NBNetworkOperation::cancelOperation() {
  if (_sink) _sink->discard();
  _sink.reset();
  if (_connection) {
    _connection->cancel();
    _connection.reset();
    setFailureStatus(Status::cancelled("the operation was cancelled"));
    CallTrace::end(*this, failureStatus());
  }
}

Result<std::string> NBNetworkOperation::signedURL(const NBServiceRequest& plan) const {
  switch (plan.signing) {
    case NBServiceRequest::Signing::kNone:
      return plan.url;
    case NBServiceRequest::Signing::kConsumer: {
      const NBOperationItem* item = _oprationItem.get();
      if (item == nullptr || !item->consumer || !item->consumer->key) {
        return Status::invalidArgument("the application's consumer key is missing");
      }
      return plan.signedURLString(*item->consumer, plan.token.get());
    }
    case NBServiceRequest::Signing::kAccessToken: {
      const std::shared_ptr<NBCredentialSource> source = credentialSource();
      const std::shared_ptr<NBToken> token = source->token();
      if (!token) {
        return Status::unauthenticated("no access token is stored any more; sign in again");
      }
      const std::shared_ptr<NBConsumer> consumer = source->consumer();
      if (!consumer || !consumer->key || !token->token) {
        return Status::unauthenticated(
            "no complete consumer and access token are stored; sign in again");
      }
      return plan.signedURLString(*consumer, token.get());
    }
  }
  return Status::internal("unknown signing");
}

void NBNetworkOperation::sendRequest(Result<NBServiceRequest> plan) {
  if (!plan.ok()) {
    reportFail(plan.status());
    return;
  }
  Result<URLRequest> request = signedRequest(*plan);
  if (!request.ok()) {
    reportFail(request.status());
    return;
  }
  startConnection(std::move(*request));
}

Result<URLRequest> NBNetworkOperation::signedRequest(const NBServiceRequest& plan) const {
  Result<std::string> url = signedURL(plan);
  if (!url.ok()) return url.status();
  return plan.toURLRequest(std::move(*url));
}

void NBNetworkOperation::startConnection(URLRequest request) {
  if (_connection) _connection->cancel();
  _statusRefused = false;
  _sink.reset();
  // The connection shares ownership of this operation for as long as it runs.
  std::shared_ptr<URLConnectionDelegate> self(shared_from_this(),
                                              static_cast<URLConnectionDelegate*>(this));
  CallTrace::requestSent(*this, request);
  _connection =
      URLConnection::connectionWithRequest(std::move(request), std::move(self), _transport);
}

void NBNetworkOperation::failRequest(Status status) {
  if (_sink) _sink->discard();
  _sink.reset();
  if (_connection) _connection->cancel();  // no further callbacks
  _connection.reset();
  reportFail(std::move(status));
}

void NBNetworkOperation::connectionDidReceiveResponse(URLConnection* /*connection*/,
                                                      const URLResponse& response) {
  if (_sink) _sink->discard();
  _sink.reset();
  CallTrace::response(*this, response.statusCode());
  if (handleErrorCode(std::to_string(response.statusCode()))) {
    _statusRefused = true;
    return;  // no sink: the rest of this body is dropped
  }
  _receivedBytes = 0;
  _expectedBytes = response.expectedContentLength();
  _sink.reset(replySink().release());
  if (Status status = _sink->begin(_expectedBytes); !status.ok()) failRequest(std::move(status));
}

void NBNetworkOperation::connectionDidReceiveData(URLConnection* /*connection*/,
                                                  std::string_view chunk) {
  CallTrace::received(*this, chunk.size());
  if (!_sink) return;  // the body of a refused status
  if (Status status = _sink->write(chunk); !status.ok()) {
    failRequest(std::move(status));
    return;
  }
  _receivedBytes += static_cast<std::int64_t>(chunk.size());
  if (reportsReceiveProgress()) reportProgress(_receivedBytes, _expectedBytes);
}

void NBNetworkOperation::connectionDidFailWithError(URLConnection* /*connection*/,
                                                    const NBError& error) {
  _connection.reset();
  if (_sink) _sink->discard();
  _sink.reset();
  // One outcome per call: after a refused status the delegate has heard already.
  if (_statusRefused) return;
  reportFail(error.code == kURLConnectionErrorTimedOut ? Status::timeout(error.description)
                                                       : Status::network(error.description));
}

void NBNetworkOperation::connectionDidFinishLoading(URLConnection* /*connection*/) {
  _connection.reset();
  const std::unique_ptr<NBReplySink, SinkDeleter> sink = std::move(_sink);
  if (!sink) return;  // a refused status, already reported
  Result<std::optional<std::string>> body = sink->finish();
  if (!body.ok()) {
    reportFail(body.status());
    return;
  }
  if (!handleErrorData(*body)) handleSuccessData(*body);
}

std::unique_ptr<NBReplySink> NBNetworkOperation::replySink() {
  return NBReplySink::memory(kReplyMemoryLimit);
}

Result<NBNetworkOperation::Step> NBNetworkOperation::readReply(
    const std::optional<std::string>& /*body*/) {
  return Step(NBResult());
}

bool NBNetworkOperation::handleErrorCode(const std::string& status) {
  Status failure = ParseError::statusFailure(statusTable(), status);
  if (failure.ok()) return false;
  reportFail(std::move(failure));
  return true;
}

bool NBNetworkOperation::handleErrorData(const std::optional<std::string>& data) {
  // Most replies show at a glance that they hold no service error; only the
  // rest are parsed.
  if (!data || !mayCarryServiceMessage(*data)) return false;
  const auto value = NBJsonUtility::jsonValueFromString(*data);
  if (!value || !value->isObject()) return false;
  const JsonValue* message = value->find("msg");
  if (message == nullptr || !message->isString() || message->stringValue() == "ok") return false;
  reportFail(ParseError::serviceFailure(message->stringValue()));
  return true;
}

void NBNetworkOperation::handleSuccessData(const std::optional<std::string>& data) {
  Result<Step> step = readReply(data);
  if (!step.ok()) {
    reportFail(step.status());
  } else if (step->next) {
    sendRequest(std::move(*step->next));
  } else {
    reportSuccess(step->result);
  }
}

}  // namespace nb
