// OperationRunner is the delegate of one operation at a time: it starts the
// operation on the main run loop and runs that loop until the operation has
// reported its outcome, forwarding byte progress to a ProgressBar. An operation
// that shows no sign of life for the idle limit is cancelled and reported as a
// time-out. Main thread only; the runner must outlive the operations it runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "nb/Private/NBOperation.h"
#include "nb/Private/NBOperationDelegate.h"

namespace nb::cli {

class ProgressBar;

struct OperationOutcome {
  enum class Kind { kSuccess, kFail, kTimeout };
  Kind kind = Kind::kTimeout;
  NBResult result;      // on success
  std::string message;  // on failure
};

class OperationRunner : public NBOperationDelegate, public NBOperationProgressDelegate {
 public:
  explicit OperationRunner(std::chrono::seconds idleLimit);

  // Makes an Op with this runner as its delegate and `item`, and runs it.
  // `progress` (not owned, may be null) receives the byte counts.
  template <class Op, class Item>
  OperationOutcome perform(std::shared_ptr<Item> item, ProgressBar* progress = nullptr) {
    return run(std::make_shared<Op>(this, std::move(item)), progress);
  }
  // Runs an operation made with this runner as its delegate.
  OperationOutcome run(const std::shared_ptr<NBOperation>& operation, ProgressBar* progress);

  void operationSuccess(NBOperation* operation, const NBResult& result) override;
  void operationFail(NBOperation* operation, const std::string& message) override;
  void operationTotalBytesWritten(NBOperation* operation, std::int64_t totalBytesWritten,
                                  std::int64_t totalBytesExpectedToWrite) override;

 private:
  std::chrono::seconds idleLimit_;
  NBOperation* current_ = nullptr;
  ProgressBar* progress_ = nullptr;
  bool done_ = false;
  OperationOutcome outcome_;
  std::chrono::steady_clock::time_point lastActivity_;
};

}  // namespace nb::cli
