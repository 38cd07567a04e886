// NBTask<T> is a small coroutine type for applications that have none of
// their own: a coroutine returning NBTask<T> may co_await NBClient's calls and
// other NBTasks, and co_return a T. A task is lazy: it runs when awaited, or
// when get() is called. One owner; await or get() each task once.
//
// get() blocks the calling thread until the task is done and returns its
// value (an exception thrown inside the task is rethrown). It must not be
// called on the client's loop thread, where it would wait for itself: it
// throws std::logic_error there instead.
#pragma once

#include <condition_variable>
#include <coroutine>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

namespace nb {

namespace internal {
// True on the client's loop thread (defined with the loop).
bool onClientLoopThread();
}  // namespace internal

template <class T>
class [[nodiscard]] NBTask {
 public:
  struct promise_type {
    std::optional<T> value;
    std::exception_ptr error;
    std::coroutine_handle<> continuation;  // the awaiting coroutine, if any
    // For get(): told when the task has ended.
    std::mutex* mutex = nullptr;
    std::condition_variable* ended = nullptr;
    bool* done = nullptr;

    NBTask get_return_object() {
      return NBTask(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    auto final_suspend() noexcept {
      struct Final {
        bool await_ready() noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> self) noexcept {
          promise_type& promise = self.promise();
          if (promise.continuation) return promise.continuation;
          if (promise.done != nullptr) {
            std::lock_guard<std::mutex> lock(*promise.mutex);
            *promise.done = true;
            promise.ended->notify_all();
          }
          return std::noop_coroutine();
        }
        void await_resume() noexcept {}
      };
      return Final{};
    }
    template <class U>
    void return_value(U&& v) {
      value.emplace(std::forward<U>(v));
    }
    void unhandled_exception() { error = std::current_exception(); }
  };

  NBTask(NBTask&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  NBTask& operator=(NBTask&& other) noexcept {
    if (this != &other) {
      if (handle_) handle_.destroy();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  NBTask(const NBTask&) = delete;
  NBTask& operator=(const NBTask&) = delete;
  ~NBTask() {
    if (handle_) handle_.destroy();
  }

  // co_await task: runs it and resumes the awaiting coroutine with its value.
  auto operator co_await() && noexcept {
    struct Awaiter {
      std::coroutine_handle<promise_type> task;
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        task.promise().continuation = awaiting;
        return task;
      }
      T await_resume() { return take(task); }
    };
    return Awaiter{handle_};
  }

  // Runs the task on this thread until it first waits, then blocks until it
  // has ended; its value.
  T get() && {
    if (internal::onClientLoopThread()) {
      throw std::logic_error(
          "NBTask::get() on the client's loop thread would wait for itself; co_await the task");
    }
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    promise_type& promise = handle_.promise();
    promise.mutex = &mutex;
    promise.ended = &ended;
    promise.done = &done;
    handle_.resume();
    std::unique_lock<std::mutex> lock(mutex);
    ended.wait(lock, [&] { return done; });
    return take(handle_);
  }

 private:
  explicit NBTask(std::coroutine_handle<promise_type> handle) : handle_(handle) {}

  static T take(std::coroutine_handle<promise_type> handle) {
    promise_type& promise = handle.promise();
    if (promise.error) std::rethrow_exception(promise.error);
    return std::move(*promise.value);
  }

  std::coroutine_handle<promise_type> handle_;
};

}  // namespace nb
