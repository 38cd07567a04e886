#include "nb/ui/toolkit/Timer.h"

#include <cmath>

namespace nb::ui {

std::shared_ptr<Timer> Timer::scheduledTimer(double seconds, bool repeats,
                                             std::function<void()> fn) {
  std::shared_ptr<Timer> timer(new Timer());
  timer->repeats_ = repeats;
  timer->fn_ = std::move(fn);
  const auto delay = std::chrono::milliseconds(std::llround(std::max(0.0, seconds) * 1000));
  timer->handle_ = RunLoop::current().addTimer(
      repeats ? std::max(delay, std::chrono::milliseconds(1)) : delay, repeats, [timer] {
        if (!timer->valid_) return;
        if (!timer->repeats_) timer->valid_ = false;
        // Copy: the callback may invalidate the timer and so drop fn_.
        std::function<void()> fn = timer->fn_;
        fn();
        if (!timer->valid_) timer->fn_ = nullptr;
      });
  return timer;
}

void Timer::invalidate() {
  if (!valid_) return;
  valid_ = false;
  fn_ = nullptr;
  handle_.cancel();
}

}  // namespace nb::ui
