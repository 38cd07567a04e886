#include "nb/Private/NBOperation.h"

#include "nb/Private/internal/CallTrace.h"

namespace nb {
namespace {

// Delegate calls under way on this thread (they nest when a delegate starts
// another operation that reports at once).
thread_local int tDelegateCallDepth = 0;

struct DelegateCallScope {
  DelegateCallScope() { ++tDelegateCallDepth; }
  ~DelegateCallScope() { --tDelegateCallDepth; }
  DelegateCallScope(const DelegateCallScope&) = delete;
  DelegateCallScope& operator=(const DelegateCallScope&) = delete;
};

}  // namespace

bool NBOperation::isInsideDelegateCall() { return tDelegateCallDepth > 0; }

NBOperation::NBOperation(NBOperationDelegate* delegate, std::shared_ptr<NBOperationItem> item)
    : _delegate(delegate), _oprationItem(std::move(item)) {}

NBOperation::~NBOperation() {
  _delegate = nullptr;
  _oprationItem.reset();
}

void NBOperation::reportSuccess(const NBResult& result) {
  CallTrace::end(*this, Status::OK());
  if (_delegate == nullptr) return;
  DelegateCallScope scope;
  _delegate->operationSuccess(this, result);
}

void NBOperation::reportFail(Status status) {
  if (status.ok()) status = Status::internal("an operation failed without a reason");
  _failureStatus = std::move(status);
  CallTrace::end(*this, _failureStatus);
  if (_delegate == nullptr) return;
  // A copy: the delegate may release this operation while it reads the message.
  const std::string message = _failureStatus.message();
  DelegateCallScope scope;
  _delegate->operationFail(this, message);
}

void NBOperation::reportProgress(std::int64_t totalBytesWritten,
                                 std::int64_t totalBytesExpectedToWrite) {
  auto* progress = dynamic_cast<NBOperationProgressDelegate*>(_delegate);
  if (progress != nullptr) {
    DelegateCallScope scope;
    progress->operationTotalBytesWritten(this, totalBytesWritten, totalBytesExpectedToWrite);
  }
}

}  // namespace nb
