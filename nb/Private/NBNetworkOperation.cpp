#include "nb/Private/NBNetworkOperation.h"

#include <algorithm>
#include <cstdint>

#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "nb/Private/ParseError.h"

namespace nb {

NBNetworkOperation::~NBNetworkOperation() {
  NBNetworkOperation::cancelOperation();
  _receiveData.reset();
}

void NBNetworkOperation::cancelOperation() {
  if (_connection) {
    _connection->cancel();
    _connection.reset();
  }
}

void NBNetworkOperation::startConnection(URLRequest request) {
  if (_connection) _connection->cancel();
  _statusRefused = false;
  // The connection shares ownership of this operation for as long as it runs.
  std::shared_ptr<URLConnectionDelegate> self(shared_from_this(),
                                              static_cast<URLConnectionDelegate*>(this));
  _connection = URLConnection::connectionWithRequest(std::move(request), std::move(self));
}

void NBNetworkOperation::connectionDidReceiveResponse(URLConnection* /*connection*/,
                                                      const URLResponse& response) {
  _receiveData.reset();
  if (handleErrorCode(std::to_string(response.statusCode()))) {
    _statusRefused = true;
    return;  // no buffer: the rest of this body is dropped
  }
  const std::int64_t announced = response.expectedContentLength();
  if (keepsReplyInMemory() && announced > static_cast<std::int64_t>(kMaxReplyBytes)) {
    // Refused before a byte of the body is read.
    cancelOperation();
    reportFail(kReplyTooLargeMessage);
    return;
  }
  _receiveData.emplace();
  if (keepsReplyInMemory() && announced > 0) {
    _receiveData->reserve(static_cast<std::size_t>(announced));
  }
}

void NBNetworkOperation::connectionDidReceiveData(URLConnection* /*connection*/,
                                                  std::string_view chunk) {
  if (!_receiveData) return;
  if (chunk.size() > kMaxReplyBytes - _receiveData->size()) {
    // A hostile or broken server must not make the process hold its whole
    // reply: stop the transfer and report once.
    cancelOperation();
    _receiveData.reset();
    reportFail(kReplyTooLargeMessage);
    return;
  }
  const std::size_t needed = _receiveData->size() + chunk.size();
  if (needed > _receiveData->capacity()) {
    // Grow by doubling, but never past the bound, so that the largest body
    // allowed does not cost twice its size.
    _receiveData->reserve(std::min(kMaxReplyBytes, std::max(needed, 2 * _receiveData->capacity())));
  }
  _receiveData->append(chunk);
}

void NBNetworkOperation::connectionDidFailWithError(URLConnection* /*connection*/,
                                                    const NBError& error) {
  _connection.reset();
  // One outcome per call: after a refused status the delegate has heard already.
  if (!_statusRefused) reportFail(error.description);
  _receiveData.reset();
}

void NBNetworkOperation::connectionDidFinishLoading(URLConnection* /*connection*/) {
  _connection.reset();
  if (!handleErrorData(_receiveData)) handleSuccessData(_receiveData);
  _receiveData.reset();
}

bool NBNetworkOperation::handleErrorCode(const std::string& /*status*/) { return false; }

bool NBNetworkOperation::handleErrorData(const std::optional<std::string>& data) {
  if (!data) return false;
  const auto value = NBJsonUtility::jsonValueFromString(*data);
  if (!value || !value->isObject()) return false;
  const JsonValue* message = value->find("msg");
  if (message == nullptr || !message->isString() || message->stringValue() == "ok") return false;
  reportFail(ParseError::transformMessage(message->stringValue()));
  return true;
}

void NBNetworkOperation::handleSuccessData(const std::optional<std::string>& /*data*/) {}

}  // namespace nb
