// Timer calls a function once or repeatedly on the run loop of the thread
// that scheduled it, after a delay in seconds. The run loop keeps a scheduled
// timer alive until it fires (one-shot) or is invalidated, so callers may drop
// their reference; a callback that touches an object should hold a weak
// reference to it. Schedule and invalidate on the same thread.
#pragma once

#include <functional>
#include <memory>

#include "nb/platform/RunLoop.h"

namespace nb::ui {

class Timer : public std::enable_shared_from_this<Timer> {
 public:
  static std::shared_ptr<Timer> scheduledTimer(double seconds, bool repeats,
                                               std::function<void()> fn);
  // Stops the timer; it does not fire afterwards. Idempotent.
  void invalidate();
  bool isValid() const { return valid_; }

 private:
  Timer() = default;
  RunLoop::TimerHandle handle_;
  bool valid_ = true;
  bool repeats_ = false;
  std::function<void()> fn_;
};

// Calls `fn` after `seconds` on the current run loop (a delayed call).
inline std::shared_ptr<Timer> performAfterDelay(double seconds, std::function<void()> fn) {
  return Timer::scheduledTimer(seconds, false, std::move(fn));
}

}  // namespace nb::ui
