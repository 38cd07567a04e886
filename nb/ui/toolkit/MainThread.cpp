#include "nb/ui/toolkit/MainThread.h"

#include <atomic>
#include <thread>

#include "nb/platform/RunLoop.h"

namespace nb::ui {

namespace {
std::atomic<std::thread::id> gMainThread{};
}

void markMainThread() {
  std::thread::id none{};
  if (gMainThread.compare_exchange_strong(none, std::this_thread::get_id())) {
    RunLoop::main();  // the main thread's loop is the one posts go to
  }
}

bool isMainThread() {
  const std::thread::id main = gMainThread.load();
  return main == std::thread::id{} || main == std::this_thread::get_id();
}

void performOnMainThread(std::function<void()> fn) { RunLoop::main().post(std::move(fn)); }

}  // namespace nb::ui
