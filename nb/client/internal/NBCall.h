// NBCall is one call of NBClient in flight: the delegate of its operation on
// the client's loop, and the one place where the call's outcome is decided
// (success, the operation's failure, cancellation, time-out), exactly once.
// start() may be called from any thread; everything else runs on the loop's
// thread. A call keeps itself alive until its outcome is delivered.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

#include "nb/Private/NBCredentialSource.h"
#include "nb/Private/NBOperation.h"
#include "nb/Private/NBOperationDelegate.h"
#include "nb/Status.h"
#include "nb/client/NBCallOptions.h"
#include "nb/client/internal/NBCallLoop.h"
#include "nb/platform/RunLoop.h"

namespace nb::internal {

class NBCall : public NBOperationDelegate,
               public NBOperationProgressDelegate,
               public std::enable_shared_from_this<NBCall> {
 public:
  // Makes the call's operation with the given delegate; runs on the loop.
  using Factory = std::function<std::shared_ptr<NBOperation>(NBOperationDelegate*)>;
  // Receives the outcome once, on the loop's thread, outside every operation
  // callback.
  using Completion = std::function<void(Result<NBResult>)>;

  // How the outcome reaches the completion.
  enum class Delivery {
    // From a task after the loop's pass, outside every operation callback;
    // the outcomes decided in one pass share one task.
    kOutsideCallbacks,
    // At once, possibly inside the operation's callback: for a completion that
    // only hands the value over (a promise), so that the waiting thread gets it
    // without waiting for the loop to finish its pass.
    kAtOnce,
  };

  // Runs the operation that `make` builds on `loop`. A file operation signs
  // with one reading of `credentials` taken when it starts; without a token
  // the outcome is kUnauthenticated and nothing is sent.
  static void start(std::shared_ptr<NBCallLoop> loop,
                    std::shared_ptr<NBCredentialSource> credentials, Factory make,
                    NBCallOptions options, Completion done,
                    Delivery delivery = Delivery::kOutsideCallbacks);

  NBCall(std::shared_ptr<NBCallLoop> loop, std::shared_ptr<NBCredentialSource> credentials,
         Factory make, NBCallOptions options, Completion done, Delivery delivery);

  void operationSuccess(NBOperation* operation, const NBResult& result) override;
  void operationFail(NBOperation* operation, const std::string& message) override;
  void operationTotalBytesWritten(NBOperation* operation, std::int64_t totalBytesWritten,
                                  std::int64_t totalBytesExpectedToWrite) override;

 private:
  using Clock = std::chrono::steady_clock;

  void begin();
  // Decides the outcome unless it is decided already.
  void finish(Result<NBResult> outcome);
  // Delivers the outcomes decided on this thread since the last delivery, in
  // the order they were decided, and releases their calls and operations.
  static void deliverDecided();
  void armIdleTimer(std::chrono::milliseconds delay);
  void checkIdle();

  std::shared_ptr<NBCallLoop> loop_;
  std::shared_ptr<NBCredentialSource> credentials_;
  Factory make_;
  NBCallOptions options_;
  Completion done_;
  Delivery delivery_;

  std::shared_ptr<NBCall> self_;  // set from begin() until the outcome
  std::shared_ptr<NBOperation> operation_;
  bool finished_ = false;
  std::optional<Result<NBResult>> outcome_;  // decided and not yet delivered (kOutsideCallbacks)
  Clock::time_point lastActivity_;
  RunLoop::TimerHandle idleTimer_;
  // Declared last: destroyed first, so it never posts through a dead call.
  std::optional<std::stop_callback<std::function<void()>>> onCancel_;
};

}  // namespace nb::internal
