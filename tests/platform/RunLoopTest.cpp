#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "nb/platform/RunLoop.h"

namespace nb {
namespace {

using std::chrono::milliseconds;

TEST(RunLoopTest, PostedTasksRunOnTheLoopThreadInOrder) {
  RunLoop& loop = RunLoop::current();
  std::vector<int> order;
  std::atomic<int> wrongThread{0};
  const auto loopThread = std::this_thread::get_id();
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) {
      loop.post([&, i] {
        if (std::this_thread::get_id() != loopThread) ++wrongThread;
        order.push_back(i);
      });
    }
  });
  EXPECT_TRUE(loop.runUntil([&] { return order.size() == 100; }, milliseconds(5000)));
  poster.join();
  EXPECT_EQ(wrongThread, 0);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(RunLoopTest, TimersFireByDueTimeAndCancelledOnesNever) {
  RunLoop& loop = RunLoop::current();
  std::string fired;
  loop.addTimer(milliseconds(30), false, [&] { fired += "c"; });
  loop.addTimer(milliseconds(0), false, [&] { fired += "a"; });
  loop.addTimer(milliseconds(10), false, [&] { fired += "b"; });
  auto cancelled = loop.addTimer(milliseconds(5), false, [&] { fired += "X"; });
  cancelled.cancel();
  cancelled.cancel();  // idempotent
  EXPECT_TRUE(loop.runUntil([&] { return fired.size() >= 3; }, milliseconds(2000)));
  loop.runUntil([] { return false; }, milliseconds(40));
  EXPECT_EQ(fired, "abc");
}

TEST(RunLoopTest, RescheduledTimerFiresOnceAtItsNewTime) {
  std::string fired;
  std::thread([&] {  // a loop of its own, so no other test sees the manual clock
    RunLoop& loop = RunLoop::current();
    loop.useManualClock();
    auto moved = loop.addTimer(milliseconds(10), false, [&] { fired += "m"; });
    loop.addTimer(milliseconds(20), false, [&] { fired += "b"; });
    EXPECT_TRUE(loop.rescheduleTimer(moved, milliseconds(30)));  // later than b
    loop.advanceClock(milliseconds(25));
    EXPECT_EQ(fired, "b");
    EXPECT_TRUE(loop.rescheduleTimer(moved, milliseconds(0)));  // now
    loop.advanceClock(milliseconds(1));
    EXPECT_EQ(fired, "bm");
    EXPECT_FALSE(loop.rescheduleTimer(moved, milliseconds(5)));  // fired already
    auto cancelled = loop.addTimer(milliseconds(5), false, [&] { fired += "c"; });
    cancelled.cancel();
    EXPECT_FALSE(loop.rescheduleTimer(cancelled, milliseconds(5)));
    auto repeating = loop.addTimer(milliseconds(5), true, [&] { fired += "r"; });
    EXPECT_FALSE(loop.rescheduleTimer(repeating, milliseconds(50)));
    repeating.cancel();
    loop.advanceClock(milliseconds(100));
  })
      .join();
  EXPECT_EQ(fired, "bm");
}

TEST(RunLoopTest, RepeatingTimerRepeatsUntilItCancelsItself) {
  RunLoop& loop = RunLoop::current();
  int ticks = 0;
  RunLoop::TimerHandle handle;
  handle = loop.addTimer(milliseconds(2), true, [&] {
    if (++ticks == 5) handle.cancel();
  });
  EXPECT_TRUE(loop.runUntil([&] { return ticks == 5; }, milliseconds(2000)));
  loop.runUntil([] { return false; }, milliseconds(20));
  EXPECT_EQ(ticks, 5);
}

TEST(RunLoopTest, RunUntilReportsTimeOutAndStopEndsRun) {
  RunLoop& loop = RunLoop::current();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.runUntil([] { return false; }, milliseconds(50)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(50));

  std::thread stopper([&] {
    std::this_thread::sleep_for(milliseconds(20));
    loop.stop();
  });
  loop.run();  // returns only because of stop()
  stopper.join();

  // A stop inside runUntil makes it return false before its time-out.
  loop.post([&] { loop.stop(); });
  EXPECT_FALSE(loop.runUntil([] { return false; }, milliseconds(10000)));
}

TEST(RunLoopTest, WatchedDescriptorReportsReadinessUntilUnwatched) {
  RunLoop& loop = RunLoop::current();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int calls = 0;
  loop.watchFd(fds[0], RunLoop::kReadable, [&](unsigned ready) {
    EXPECT_TRUE(ready & RunLoop::kReadable);
    char byte;
    ASSERT_EQ(::read(fds[0], &byte, 1), 1);
    if (++calls == 2) loop.unwatchFd(fds[0]);
  });
  ASSERT_EQ(::write(fds[1], "ab", 2), 2);
  EXPECT_TRUE(loop.runUntil([&] { return calls == 2; }, milliseconds(2000)));
  ASSERT_EQ(::write(fds[1], "c", 1), 1);
  loop.runUntil([] { return false; }, milliseconds(20));
  EXPECT_EQ(calls, 2);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(RunLoopTest, PausedDescriptorIsSilentUntilItsFlagsAreSetAgain) {
  RunLoop& loop = RunLoop::current();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int calls = 0;
  loop.watchFd(fds[0], RunLoop::kReadable, [&](unsigned) { ++calls; });
  EXPECT_FALSE(loop.setFdEvents(fds[1], RunLoop::kReadable));  // not watched

  // Paused before it turns ready, and paused while ready (it then leaves the
  // wait set): silent either way, and heard again once resumed.
  for (const bool readyBeforePause : {false, true}) {
    SCOPED_TRACE(readyBeforePause);
    if (readyBeforePause) {
      ASSERT_EQ(::write(fds[1], "x", 1), 1);
      loop.runUntil([] { return false; }, milliseconds(10));  // heard while watched
    }
    ASSERT_TRUE(loop.setFdEvents(fds[0], 0));
    if (!readyBeforePause) {
      ASSERT_EQ(::write(fds[1], "x", 1), 1);
    }
    calls = 0;
    loop.runUntil([] { return false; }, milliseconds(30));
    EXPECT_EQ(calls, 0);
    ASSERT_TRUE(loop.setFdEvents(fds[0], RunLoop::kReadable));
    EXPECT_TRUE(loop.runUntil([&] { return calls > 0; }, milliseconds(2000)));
    char byte;
    ASSERT_EQ(::read(fds[0], &byte, 1), 1);
  }
  loop.unwatchFd(fds[0]);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(RunLoopTest, ManualClockFiresTimersOnlyAsItIsAdvanced) {
  std::string fired;
  std::thread([&] {  // a loop of its own, so no other test sees the manual clock
    RunLoop& loop = RunLoop::current();
    loop.useManualClock();
    loop.addTimer(milliseconds(100), false, [&] { fired += "once "; });
    loop.addTimer(milliseconds(30), true, [&] { fired += "tick "; });
    loop.runUntil([] { return false; }, milliseconds(150));  // real time passes: nothing
    fired += "| ";
    loop.advanceClock(milliseconds(95));
    fired += "| ";
    loop.advanceClock(milliseconds(25));
  })
      .join();
  EXPECT_EQ(fired, "| tick tick tick | once tick ");
}

TEST(RunLoopTest, EachThreadHasItsOwnLoopAndMainIsTheFirst) {
  RunLoop* mine = &RunLoop::current();
  RunLoop* theirs = nullptr;
  RunLoop* theirMain = nullptr;
  std::thread other([&] {
    theirs = &RunLoop::current();
    theirMain = &RunLoop::main();
  });
  other.join();
  EXPECT_NE(mine, theirs);
  EXPECT_EQ(theirMain, mine);  // this test thread asked first
  EXPECT_EQ(&RunLoop::main(), mine);
}

}  // namespace
}  // namespace nb
