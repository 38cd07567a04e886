#include "nb/client/internal/NBCallLoop.h"

#include <future>
#include <mutex>

#include "nb/platform/RunLoop.h"

namespace nb::internal {
namespace {

thread_local bool tIsLoopThread = false;

}  // namespace

std::shared_ptr<NBCallLoop> NBCallLoop::shared() {
  static std::mutex mutex;
  static std::weak_ptr<NBCallLoop> current;
  std::lock_guard<std::mutex> lock(mutex);
  auto loop = current.lock();
  if (!loop) {
    loop = std::make_shared<NBCallLoop>();
    current = loop;
  }
  return loop;
}

bool NBCallLoop::isLoopThread() { return tIsLoopThread; }

NBCallLoop::NBCallLoop() {
  std::promise<RunLoop*> ready;
  auto started = ready.get_future();
  thread_ = std::thread([&ready] {
    tIsLoopThread = true;
    // The application's main() loop stays the application's.
    RunLoop& loop = RunLoop::currentWithoutMain();
    ready.set_value(&loop);
    loop.run();  // until the destructor's stop()
  });
  loop_ = started.get();
}

NBCallLoop::~NBCallLoop() {
  loop_->stop();
  if (thread_.get_id() == std::this_thread::get_id()) {
    // The last reference went inside a task of this very loop: run() returns
    // once that task is done, and the thread ends by itself.
    thread_.detach();
  } else {
    thread_.join();
  }
}

void NBCallLoop::post(std::function<void()> task) { loop_->post(std::move(task)); }

}  // namespace nb::internal
