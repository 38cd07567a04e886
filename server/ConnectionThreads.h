// ConnectionThreads: the listeners' task queue — one thread for each open
// connection, up to a cap, so that a few slow or idle clients never hold up
// the others (a fixed pool of N threads is stopped by N clients that trickle).
// Connections beyond the cap wait for a thread. Thread-safe; shutdown() waits
// a bounded time for the open connections to finish.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace nb::server {

class ConnectionThreads : public httplib::TaskQueue {
 public:
  explicit ConnectionThreads(std::size_t maxThreads);
  void enqueue(std::function<void()> fn) override;
  void shutdown() override;
  // Connection threads still running in this process, over all queues (a
  // client still trickling when shutdown() stopped waiting).
  static std::size_t live();

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable idle;
    std::deque<std::function<void()>> pending;
    std::size_t running = 0;
    std::size_t maxThreads = 1;
  };
  static void work(std::shared_ptr<State> state, std::function<void()> fn);
  std::shared_ptr<State> state_;
};

}  // namespace nb::server
