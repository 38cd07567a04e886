// NBCallAwaitable is the coroutine form of one NBClient call: `co_await` it in
// any C++20 coroutine (NBTask, or a coroutine type of the application's own)
// to start the call and get its outcome T. The call starts at co_await, not
// before; an awaitable that is never awaited sends nothing.
//
// The coroutine resumes on the client's loop thread, after the outcome is
// decided and outside every operation callback. Code after co_await runs
// there too: keep it short, and make further calls with co_await (a blocking
// call there is refused). Await each awaitable once.
#pragma once

#include <coroutine>
#include <functional>
#include <optional>
#include <utility>

namespace nb {

template <class T>
class [[nodiscard]] NBCallAwaitable {
 public:
  // Starts the call; the outcome goes to the function it is given, once.
  using Starter = std::function<void(std::function<void(T)>)>;

  explicit NBCallAwaitable(Starter start) : start_(std::move(start)) {}

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> coroutine) {
    // The coroutine may resume on the loop, and this awaiter end with it,
    // before start() returns: nothing of the awaiter is touched afterwards.
    Starter start = std::move(start_);
    start([this, coroutine](T outcome) {
      outcome_.emplace(std::move(outcome));
      coroutine.resume();
    });
  }
  T await_resume() { return std::move(*outcome_); }

 private:
  Starter start_;
  std::optional<T> outcome_;
};

}  // namespace nb
