// NBCallLoop is the library's own worker thread with its run loop, on which
// NBClient runs every operation of its blocking, future and coroutine forms.
// One loop is shared by all the clients alive at a time (shared()); it stops
// when the last client and the last call holding it are gone.
// post() may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <thread>

namespace nb {

class RunLoop;

namespace internal {

class NBCallLoop {
 public:
  // The loop in use, or a new one when none is alive.
  static std::shared_ptr<NBCallLoop> shared();
  // True on the thread of any NBCallLoop.
  static bool isLoopThread();

  NBCallLoop();
  // Stops the thread; joins it, or lets it end by itself when the last
  // reference is dropped on the loop's own thread.
  ~NBCallLoop();
  NBCallLoop(const NBCallLoop&) = delete;
  NBCallLoop& operator=(const NBCallLoop&) = delete;

  // Runs `task` on the loop's thread, in posting order.
  void post(std::function<void()> task);
  // The run loop itself; only for code running on the loop's thread.
  RunLoop& runLoop() const { return *loop_; }

 private:
  RunLoop* loop_ = nullptr;  // lives as long as the thread
  std::thread thread_;
};

}  // namespace internal
}  // namespace nb
