// RunLoop is a per-thread event loop: posted tasks, one-shot and repeating
// timers, and file-descriptor readiness (the HTTP transport drives its sockets
// through it). Every delegate call of the library arrives on the run loop that
// started the request.
//
// Threads: each thread has its own loop (current()), made on first use and
// destroyed when the thread ends. post() and stop() may be called from any
// thread; everything else only from the loop's own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace nb {

class RunLoop {
 public:
  // Readiness flags for watchFd callbacks.
  enum FdEvent : unsigned { kReadable = 1, kWritable = 2, kError = 4 };

  // A timer registered with addTimer. cancel() is idempotent and must be
  // called on the loop's thread; a handle may outlive its loop only if it is
  // never cancelled after the loop is gone. Default-constructed: no timer.
  class TimerHandle {
   public:
    TimerHandle() = default;
    void cancel();
    bool valid() const { return loop_ != nullptr; }

   private:
    friend class RunLoop;
    TimerHandle(RunLoop* loop, std::uint64_t id) : loop_(loop), id_(id) {}
    RunLoop* loop_ = nullptr;
    std::uint64_t id_ = 0;
  };

  // The calling thread's loop, created on first use.
  static RunLoop& current();
  // The loop of the first thread that asked for a run loop at all (through
  // current() or main()); in an application, the main thread. Stays valid
  // while that thread lives.
  static RunLoop& main();
  // The calling thread's loop, like current(), but a loop made here never
  // becomes main(): for threads that the library starts for itself.
  static RunLoop& currentWithoutMain();

  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Runs until stop(). Nested runs are allowed; stop() ends the innermost.
  void run();
  // Runs until `predicate` holds (checked before waiting and after every
  // dispatch), stop() is called, or `timeout` passes. True when the predicate held.
  bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
  // Makes the running (innermost) run() or runUntil() return. Any thread.
  void stop();

  // Queues `task` to run on this loop's thread, in posting order. Any thread.
  void post(std::function<void()> task);

  // Calls `fn` after `delay`, and then every `delay` when `repeat` is true,
  // until cancelled. A repeating timer needs a positive delay.
  TimerHandle addTimer(std::chrono::milliseconds delay, bool repeat, std::function<void()> fn);

  // Moves a pending one-shot timer so that it fires `delay` from now, keeping
  // its callback; false (and nothing changes) when the timer has fired, was
  // cancelled or repeats. Costs no allocation, unlike cancel() and addTimer().
  bool rescheduleTimer(const TimerHandle& timer, std::chrono::milliseconds delay);

  // Watches `fd` for the FdEvent flags in `events`; replaces an earlier watch
  // of the same fd. `fn` receives the flags that are ready.
  void watchFd(int fd, unsigned events, std::function<void(unsigned ready)> fn);
  // Changes the flags a watched fd waits for, keeping its callback; false when
  // `fd` is not watched. Zero pauses the watch: no callback until the flags
  // are set again. Changing to the flags in force, and pausing, cost no system
  // call (a paused fd that turns ready is taken out of the wait set then, and
  // put back when flags are set again), so a socket that goes idle between
  // requests and back costs nothing. The fd must stay open while watched.
  bool setFdEvents(int fd, unsigned events);
  // Stops watching `fd`; no callback for it is made afterwards.
  void unwatchFd(int fd);

  // For tests of timed behaviour: from now on timers follow a manual clock
  // that only advanceClock() moves, so a test needs no sleeping. Not for a
  // thread that also runs HTTP requests (the transport's timers stop too).
  void useManualClock();
  // Moves the manual clock forward by `delta`, firing every timer that falls
  // due on the way at its own time and in order.
  void advanceClock(std::chrono::milliseconds delta);
  // The time timers follow: the manual clock's when one is in use. Loop thread.
  std::chrono::steady_clock::time_point currentTime() const { return now(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Timer {
    std::chrono::milliseconds interval;
    bool repeat;
    std::shared_ptr<std::function<void()>> fn;
    Clock::time_point due;
  };

  RunLoop();
  // Waits at most until `deadline` for work and dispatches what is ready.
  void runOnce(Clock::time_point deadline);
  void runDueTimers();
  void runPosted();
  void cancelTimer(std::uint64_t id);
  void wake();
  Clock::time_point now() const { return manualClock_ ? manualNow_ : Clock::now(); }

  int epoll_ = -1;
  int wakeFd_ = -1;

  std::mutex postedMutex_;
  std::vector<std::function<void()>> posted_;
  bool stopRequested_ = false;  // guarded by postedMutex_
  // Guarded by postedMutex_: the loop is about to wait or waits in epoll_wait,
  // and whether a wake-up has been sent since. Posts to a loop that is awake
  // need no wake-up: it takes them before it waits again.
  bool sleeping_ = false;
  bool wakeSent_ = false;
  std::thread::id owner_;  // the loop's thread

  std::uint64_t nextTimerId_ = 1;
  std::unordered_map<std::uint64_t, Timer> timers_;
  std::multimap<Clock::time_point, std::uint64_t> timerQueue_;  // due time -> timer id

  // One watched fd. Shared so that it stays alive while its callback re-watches
  // or unwatches the fd.
  struct Watch {
    std::function<void(unsigned)> fn;
    unsigned wanted = 0;      // FdEvent flags the owner waits for; 0: paused
    unsigned registered = 0;  // the epoll flags in force
    bool inSet = false;       // in the epoll set
  };
  // Brings the epoll set in line with `watch.wanted` (paused watches stay as they are).
  void syncWatch(int fd, Watch& watch);

  std::unordered_map<int, std::shared_ptr<Watch>> watches_;

  bool manualClock_ = false;
  Clock::time_point manualNow_;
};

}  // namespace nb
