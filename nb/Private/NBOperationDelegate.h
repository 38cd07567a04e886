// NBOperationDelegate receives the outcome of an operation: after
// executeOperation, exactly one of operationSuccess and operationFail, unless the
// operation was cancelled first. Calls arrive on the thread whose run loop
// started the request.
//
// Lifetime: an operation does not own its delegate; the delegate must outlive
// the operation's request or the owner must cancel the operation first. The
// delegate may release its last reference to the operation inside a callback:
// the running request keeps the operation alive until the callback returns.
//
// Progress is optional. A delegate "implements" it by also deriving from
// NBOperationProgressDelegate; operations ask (by dynamic_cast) before each
// progress call and skip it for delegates that do not.
#pragma once

#include <cstdint>
#include <string>

#include "nb/Private/NBResult.h"

namespace nb {

class NBOperation;

class NBOperationDelegate {
 public:
  virtual ~NBOperationDelegate() = default;

  // The call succeeded; `result` is documented by each operation (may be nil).
  virtual void operationSuccess(NBOperation* operation, const NBResult& result) {
    (void)operation;
    (void)result;
  }
  // The call failed; `message` is readable text for the user.
  virtual void operationFail(NBOperation* operation, const std::string& message) {
    (void)operation;
    (void)message;
  }
};

// Mix-in for delegates that want byte progress of uploads and downloads.
// `expected` is negative when the total is unknown.
class NBOperationProgressDelegate {
 public:
  virtual ~NBOperationProgressDelegate() = default;
  virtual void operationTotalBytesWritten(NBOperation* operation, std::int64_t totalBytesWritten,
                                          std::int64_t totalBytesExpectedToWrite) = 0;
};

}  // namespace nb
