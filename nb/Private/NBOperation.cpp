#include "nb/Private/NBOperation.h"

namespace nb {

NBOperation::NBOperation(NBOperationDelegate* delegate, std::shared_ptr<NBOperationItem> item)
    : _delegate(delegate), _oprationItem(std::move(item)) {}

NBOperation::~NBOperation() {
  _delegate = nullptr;
  _oprationItem.reset();
}

void NBOperation::reportSuccess(const NBResult& result) {
  if (_delegate != nullptr) _delegate->operationSuccess(this, result);
}

void NBOperation::reportFail(Status status) {
  if (status.ok()) status = Status::internal("an operation failed without a reason");
  _failureStatus = std::move(status);
  if (_delegate == nullptr) return;
  // A copy: the delegate may release this operation while it reads the message.
  const std::string message = _failureStatus.message();
  _delegate->operationFail(this, message);
}

void NBOperation::reportProgress(std::int64_t totalBytesWritten,
                                 std::int64_t totalBytesExpectedToWrite) {
  auto* progress = dynamic_cast<NBOperationProgressDelegate*>(_delegate);
  if (progress != nullptr) {
    progress->operationTotalBytesWritten(this, totalBytesWritten, totalBytesExpectedToWrite);
  }
}

}  // namespace nb
