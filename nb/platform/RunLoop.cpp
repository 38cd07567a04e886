#include "nb/platform/RunLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace nb {
namespace {

std::atomic<RunLoop*> gMainLoop{nullptr};

unsigned epollEventsFor(unsigned events) {
  unsigned flags = 0;
  if (events & RunLoop::kReadable) flags |= EPOLLIN;
  if (events & RunLoop::kWritable) flags |= EPOLLOUT;
  return flags;
}

unsigned readyFlagsFor(unsigned epollEvents) {
  unsigned ready = 0;
  if (epollEvents & (EPOLLIN | EPOLLHUP | EPOLLRDHUP)) ready |= RunLoop::kReadable;
  if (epollEvents & EPOLLOUT) ready |= RunLoop::kWritable;
  if (epollEvents & EPOLLERR) ready |= RunLoop::kError;
  return ready;
}

}  // namespace

void RunLoop::TimerHandle::cancel() {
  if (loop_ != nullptr) loop_->cancelTimer(id_);
  loop_ = nullptr;
}

namespace {
thread_local bool tMayBecomeMain = true;
}  // namespace

RunLoop& RunLoop::current() {
  thread_local std::unique_ptr<RunLoop> loop;
  if (!loop) {
    loop.reset(new RunLoop());
    RunLoop* none = nullptr;
    if (tMayBecomeMain) gMainLoop.compare_exchange_strong(none, loop.get());
  }
  return *loop;
}

RunLoop& RunLoop::currentWithoutMain() {
  tMayBecomeMain = false;
  return current();
}

RunLoop& RunLoop::main() {
  if (RunLoop* loop = gMainLoop.load()) return *loop;
  current();
  return *gMainLoop.load();
}

RunLoop::RunLoop() : owner_(std::this_thread::get_id()) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Without these the loop cannot work at all; there is nothing sensible to report to.
  if (epoll_ < 0 || wakeFd_ < 0) std::abort();
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = wakeFd_;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeFd_, &event);
}

RunLoop::~RunLoop() {
  RunLoop* self = this;
  gMainLoop.compare_exchange_strong(self, nullptr);
  ::close(wakeFd_);
  ::close(epoll_);
}

void RunLoop::run() {
  for (;;) {
    runOnce(Clock::time_point::max());
    std::lock_guard<std::mutex> lock(postedMutex_);
    if (stopRequested_) {
      stopRequested_ = false;
      return;
    }
  }
}

bool RunLoop::runUntil(const std::function<bool()>& predicate,
                       std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    {
      std::lock_guard<std::mutex> lock(postedMutex_);
      if (stopRequested_) {
        stopRequested_ = false;
        return false;
      }
    }
    if (Clock::now() >= deadline) return false;
    runOnce(deadline);
  }
}

void RunLoop::stop() {
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    stopRequested_ = true;
  }
  wake();
}

void RunLoop::post(std::function<void()> task) {
  bool needsWake;
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    posted_.push_back(std::move(task));
    // The loop's own thread is awake by definition; another thread wakes it
    // only when it waits and nobody has woken it yet.
    needsWake = sleeping_ && !wakeSent_ && std::this_thread::get_id() != owner_;
    if (needsWake) wakeSent_ = true;
  }
  if (needsWake) wake();
}

void RunLoop::wake() {
  const std::uint64_t one = 1;
  // A full counter already means "wake up", so a failed write loses nothing.
  [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

RunLoop::TimerHandle RunLoop::addTimer(std::chrono::milliseconds delay, bool repeat,
                                       std::function<void()> fn) {
  if (delay.count() < 0) delay = std::chrono::milliseconds(0);
  if (repeat && delay.count() == 0) delay = std::chrono::milliseconds(1);
  const std::uint64_t id = nextTimerId_++;
  const auto due = now() + delay;
  timers_.emplace(id, Timer{delay, repeat, std::make_shared<std::function<void()>>(std::move(fn)),
                            due});
  timerQueue_.emplace(due, id);
  return TimerHandle(this, id);
}

bool RunLoop::rescheduleTimer(const TimerHandle& timer, std::chrono::milliseconds delay) {
  if (timer.loop_ != this) return false;
  auto it = timers_.find(timer.id_);
  if (it == timers_.end() || it->second.repeat) return false;
  if (delay.count() < 0) delay = std::chrono::milliseconds(0);
  const auto due = now() + delay;
  auto range = timerQueue_.equal_range(it->second.due);
  for (auto q = range.first; q != range.second; ++q) {
    if (q->second == timer.id_) {
      auto node = timerQueue_.extract(q);  // the same node, re-keyed: no allocation
      node.key() = due;
      timerQueue_.insert(std::move(node));
      break;
    }
  }
  it->second.due = due;
  return true;
}

void RunLoop::cancelTimer(std::uint64_t id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  auto range = timerQueue_.equal_range(it->second.due);
  for (auto q = range.first; q != range.second; ++q) {
    if (q->second == id) {
      timerQueue_.erase(q);
      break;
    }
  }
  timers_.erase(it);
}

void RunLoop::syncWatch(int fd, Watch& watch) {
  if (watch.wanted == 0) return;  // paused: left as it is until it turns ready
  const unsigned flags = epollEventsFor(watch.wanted);
  if (watch.inSet && watch.registered == flags) return;
  epoll_event event{};
  event.events = flags;
  event.data.fd = fd;
  const int op = watch.inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (::epoll_ctl(epoll_, op, fd, &event) != 0) {
    // The fd was closed and reused behind our back (EEXIST), or closed and
    // dropped from the set (ENOENT): try the other operation.
    ::epoll_ctl(epoll_, op == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
  }
  watch.registered = flags;
  watch.inSet = true;
}

void RunLoop::watchFd(int fd, unsigned events, std::function<void(unsigned)> fn) {
  auto watch = std::make_shared<Watch>();
  watch->fn = std::move(fn);
  watch->wanted = events;
  auto it = watches_.find(fd);
  if (it != watches_.end()) {
    watch->registered = it->second->registered;
    watch->inSet = it->second->inSet;
    it->second = watch;
  } else {
    // An fd this loop does not know may still be in the set under an old,
    // closed fd of the same number: syncWatch tries both operations.
    watches_.emplace(fd, watch);
  }
  syncWatch(fd, *watch);
}

bool RunLoop::setFdEvents(int fd, unsigned events) {
  auto it = watches_.find(fd);
  if (it == watches_.end()) return false;
  it->second->wanted = events;
  syncWatch(fd, *it->second);
  return true;
}

void RunLoop::unwatchFd(int fd) {
  auto it = watches_.find(fd);
  if (it == watches_.end()) return;
  const bool inSet = it->second->inSet;
  it->second->wanted = 0;  // a callback still running must not re-arm it
  watches_.erase(it);
  // Fails harmlessly when the fd is already closed.
  if (inSet) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

void RunLoop::runOnce(Clock::time_point deadline) {
  int timeoutMs = 0;
  bool pending;
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    pending = !posted_.empty() || stopRequested_;
    if (!pending) {
      sleeping_ = true;
      wakeSent_ = false;
    }
  }
  if (!pending) {
    auto until = deadline;
    if (!timerQueue_.empty()) {
      // Under a manual clock only a timer that is due already shortens the wait.
      const auto next = timerQueue_.begin()->first;
      if (!manualClock_ && next < until) until = next;
      if (manualClock_ && next <= manualNow_) until = Clock::now();
    }
    if (until == Clock::time_point::max()) {
      timeoutMs = -1;
    } else {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
      timeoutMs = static_cast<int>(std::max<std::int64_t>(0, std::min<std::int64_t>(
                                                                 wait.count(), 24 * 3600 * 1000)));
    }
  }

  epoll_event events[64];
  const int count = ::epoll_wait(epoll_, events, 64, timeoutMs);
  if (!pending) {
    std::lock_guard<std::mutex> lock(postedMutex_);
    sleeping_ = false;
  }
  for (int i = 0; i < count; ++i) {
    const int fd = events[i].data.fd;
    if (fd == wakeFd_) {
      std::uint64_t value;
      [[maybe_unused]] ssize_t got = ::read(wakeFd_, &value, sizeof value);
      continue;
    }
    auto it = watches_.find(fd);
    if (it == watches_.end()) continue;  // unwatched by an earlier callback
    const auto watch = it->second;       // keeps it alive if the callback re-watches
    if (watch->wanted == 0) {
      // Paused, and ready (the peer closed, or sent what nobody reads): out of
      // the set until flags are set again, so that it does not wake every pass.
      if (watch->inSet) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
      watch->inSet = false;
      continue;
    }
    watch->fn(readyFlagsFor(events[i].events));
  }
  runDueTimers();
  runPosted();
}

void RunLoop::useManualClock() {
  if (manualClock_) return;
  manualNow_ = Clock::now();
  manualClock_ = true;
}

void RunLoop::advanceClock(std::chrono::milliseconds delta) {
  const auto target = manualNow_ + delta;
  while (!timerQueue_.empty() && timerQueue_.begin()->first <= target) {
    manualNow_ = std::max(manualNow_, timerQueue_.begin()->first);
    runDueTimers();
  }
  manualNow_ = target;
}

void RunLoop::runDueTimers() {
  const auto now = this->now();
  // Only timers due now run; timers that callbacks add for "now" wait for the
  // next pass, so a zero-delay timer cannot starve the loop.
  std::vector<std::uint64_t> due;
  for (auto q = timerQueue_.begin(); q != timerQueue_.end() && q->first <= now; ++q) {
    due.push_back(q->second);
  }
  for (std::uint64_t id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled by an earlier callback
    const auto fn = it->second.fn;      // alive even if the callback cancels the timer
    if (it->second.repeat) {
      // Reschedule before the call so that the callback may cancel it. A loop
      // that fell behind skips the missed ticks instead of bursting.
      Timer timer = it->second;
      cancelTimer(id);
      timer.due = std::max(timer.due + timer.interval, now + std::chrono::milliseconds(1));
      timers_.emplace(id, timer);
      timerQueue_.emplace(timer.due, id);
    } else {
      cancelTimer(id);
    }
    (*fn)();
  }
}

void RunLoop::runPosted() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    tasks.swap(posted_);
  }
  for (auto& task : tasks) task();
}

}  // namespace nb
