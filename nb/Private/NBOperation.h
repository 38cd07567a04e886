// NBOperation is the base of every service call. The application makes one with
// std::make_shared<Subclass>(delegate, item), calls executeOperation() once and
// receives one outcome through the delegate; cancelOperation() stops it silently.
//
// Ownership: the operation shares ownership of its item and does not own its
// delegate (a null delegate silences it). While a request runs, the transport
// also holds the operation, so releasing it inside a delegate call is safe.
// An operation is used from one thread: the one whose run loop runs its request.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "nb/Private/NBOperationDelegate.h"
#include "nb/Private/NBOperationItem.h"
#include "nb/Status.h"

namespace nb {

struct NBObservedCall;  // the library's own (nb/Observability.cpp)

class NBOperation : public std::enable_shared_from_this<NBOperation> {
 public:
  NBOperation(NBOperationDelegate* delegate, std::shared_ptr<NBOperationItem> item);
  virtual ~NBOperation();

  NBOperation(const NBOperation&) = delete;
  NBOperation& operator=(const NBOperation&) = delete;

  // Starts the call. Does nothing in the base class.
  virtual void executeOperation() {}
  // Stops the call without telling the delegate. Does nothing in the base class.
  virtual void cancelOperation() {}

  // Why the latest call failed: its message is exactly the text the delegate
  // got in operationFail, its code names the cause. Ok until a call fails, and
  // again once a new call starts.
  const Status& failureStatus() const { return _failureStatus; }
  // True while the calling thread is inside a delegate call of any operation
  // (success, failure or progress). Code that would block the thread waiting
  // for another call refuses to do so there: the loop delivering the callback
  // could not run while it waits.
  static bool isInsideDelegateCall();

 protected:
  // Delegate calls for subclasses; each does nothing when the delegate is null.
  void reportSuccess(const NBResult& result);
  // Keeps `status` as failureStatus() and tells the delegate its message.
  void reportFail(Status status);
  // Starts a new call's record: failureStatus() is ok again.
  void clearFailure() { _failureStatus = Status::OK(); }
  // Records why the call ended without telling the delegate (a cancel).
  void setFailureStatus(Status status) { _failureStatus = std::move(status); }
  // Skipped as well when the delegate does not implement progress.
  void reportProgress(std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite);

  NBOperationDelegate* _delegate;                 // not owned; may be null
  std::shared_ptr<NBOperationItem> _oprationItem;  // the call's parameters

 private:
  friend class CallTrace;
  // What the library's counters and observers follow of the call under way;
  // the observed part exists only while a log sink or an observer is set.
  struct ObservedCallDeleter {
    void operator()(NBObservedCall* observed) const;
  };
  struct TraceState {
    bool inCall = false;
    std::chrono::steady_clock::time_point callStart;
    std::chrono::steady_clock::time_point requestStart;
    std::int64_t bytesSent = 0;
    std::int64_t bytesReceived = 0;
    int httpStatus = 0;
    std::unique_ptr<NBObservedCall, ObservedCallDeleter> observed;
  };

  Status _failureStatus;
  TraceState _trace;
};

}  // namespace nb
