#include "server/ConnectionThreads.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace nb::server {
namespace {
std::atomic<std::size_t> liveThreads{0};
}  // namespace

std::size_t ConnectionThreads::live() { return liveThreads.load(); }

ConnectionThreads::ConnectionThreads(std::size_t maxThreads) : state_(std::make_shared<State>()) {
  state_->maxThreads = maxThreads == 0 ? 1 : maxThreads;
}

void ConnectionThreads::enqueue(std::function<void()> fn) {
  std::unique_lock<std::mutex> guard(state_->mutex);
  if (state_->running >= state_->maxThreads) {
    state_->pending.push_back(std::move(fn));
    return;
  }
  ++state_->running;
  guard.unlock();
  ++liveThreads;
  try {
    std::thread(work, state_, std::move(fn)).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the connection waits for one that ends.
    --liveThreads;
    guard.lock();
    --state_->running;
    state_->pending.push_back(std::move(fn));
  }
}

void ConnectionThreads::work(std::shared_ptr<State> state, std::function<void()> fn) {
  for (;;) {
    fn();
    std::lock_guard<std::mutex> guard(state->mutex);
    if (state->pending.empty()) {
      --state->running;
      --liveThreads;
      state->idle.notify_all();
      return;
    }
    fn = std::move(state->pending.front());
    state->pending.pop_front();
  }
}

void ConnectionThreads::shutdown() {
  // The listener has stopped accepting; kept-alive connections end at their
  // next idle moment. A client still trickling a request is not waited for
  // beyond the bound.
  std::unique_lock<std::mutex> guard(state_->mutex);
  state_->idle.wait_for(guard, std::chrono::seconds(10),
                        [&] { return state_->running == 0 && state_->pending.empty(); });
}

}  // namespace nb::server
