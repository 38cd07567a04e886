// NBOperation is the base of every service call. The application makes one with
// std::make_shared<Subclass>(delegate, item), calls executeOperation() once and
// receives one outcome through the delegate; cancelOperation() stops it silently.
//
// Ownership: the operation shares ownership of its item and does not own its
// delegate (a null delegate silences it). While a request runs, the transport
// also holds the operation, so releasing it inside a delegate call is safe.
// An operation is used from one thread: the one whose run loop runs its request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "nb/Private/NBOperationDelegate.h"
#include "nb/Private/NBOperationItem.h"

namespace nb {

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

  // True while the calling thread is inside a delegate call of any operation
  // (success, failure or progress). Code that would block the thread waiting
  // for another call refuses to do so there: the loop delivering the callback
  // could not run while it waits.
  static bool isInsideDelegateCall();

 protected:
  // Delegate calls for subclasses; each does nothing when the delegate is null.
  void reportSuccess(const NBResult& result);
  void reportFail(const std::string& message);
  // Skipped as well when the delegate does not implement progress.
  void reportProgress(std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite);

  NBOperationDelegate* _delegate;                 // not owned; may be null
  std::shared_ptr<NBOperationItem> _oprationItem;  // the call's parameters
};

}  // namespace nb
