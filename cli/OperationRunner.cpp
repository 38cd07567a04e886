#include "cli/OperationRunner.h"

#include "cli/ProgressBar.h"
#include "nb/platform/RunLoop.h"

namespace nb::cli {
namespace {

// How often the idle limit is checked while the loop waits.
constexpr std::chrono::milliseconds kSlice{200};

}  // namespace

OperationRunner::OperationRunner(std::chrono::seconds idleLimit) : idleLimit_(idleLimit) {}

OperationOutcome OperationRunner::run(const std::shared_ptr<NBOperation>& operation,
                                      ProgressBar* progress) {
  current_ = operation.get();
  progress_ = progress;
  done_ = false;
  outcome_ = OperationOutcome{};
  lastActivity_ = std::chrono::steady_clock::now();

  RunLoop& loop = RunLoop::main();
  operation->executeOperation();
  while (!done_) {
    if (loop.runUntil([this] { return done_; }, kSlice)) break;
    if (std::chrono::steady_clock::now() - lastActivity_ > idleLimit_) {
      operation->cancelOperation();
      outcome_.kind = OperationOutcome::Kind::kTimeout;
      outcome_.message =
          "no answer from the service within " + std::to_string(idleLimit_.count()) + " s";
      break;
    }
  }
  if (progress_) progress_->finish();
  current_ = nullptr;
  progress_ = nullptr;
  return outcome_;
}

void OperationRunner::operationSuccess(NBOperation* operation, const NBResult& result) {
  if (operation != current_ || done_) return;
  outcome_.kind = OperationOutcome::Kind::kSuccess;
  outcome_.result = result;
  done_ = true;
}

void OperationRunner::operationFail(NBOperation* operation, const std::string& message) {
  if (operation != current_ || done_) return;
  outcome_.kind = OperationOutcome::Kind::kFail;
  outcome_.message = message;
  done_ = true;
}

void OperationRunner::operationTotalBytesWritten(NBOperation* operation,
                                                 std::int64_t totalBytesWritten,
                                                 std::int64_t totalBytesExpectedToWrite) {
  if (operation != current_) return;
  lastActivity_ = std::chrono::steady_clock::now();
  if (progress_) progress_->update(totalBytesWritten, totalBytesExpectedToWrite);
}

}  // namespace nb::cli
