// A task run with showWhileExecuting: the worker thread updates the label and
// the progress through the overlay's setters while the main run loop draws;
// the overlay hides itself on the main thread when the task returns. Runs
// under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "nb/platform/RunLoop.h"
#include "nb/ui/FxActivityIndicator.h"
#include "nb/ui/FxRoundProgressView.h"
#include "nb/ui/toolkit/Renderer.h"

// Pango starts its own thread to initialise fontconfig; both libraries are
// uninstrumented, so ThreadSanitizer cannot see their locking. Only races whose
// stacks pass through them are suppressed; the overlay's own code is checked.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libfontconfig.so\n"
         "called_from_lib:libfontconfig.so\n";
}

namespace nb {
namespace {

// Enough steps that the worker still runs while the main loop applies and draws.
constexpr int kSteps = 400;

struct HiddenFlag : FxActivityDelegate {
  int calls = 0;
  std::thread::id thread;
  void hudWasHidden() override {
    ++calls;
    thread = std::this_thread::get_id();
  }
};

TEST(OverlayTask, WorkerUpdatesLabelAndProgressAndTheOverlayHidesOnTheMainThread) {
  RunLoop& loop = RunLoop::current();
  auto host = std::make_shared<ui::View>(ui::Rect(0, 0, 320, 480));
  auto hud = std::make_shared<FxActivityIndicator>(host.get());
  host->addSubview(hud);
  HiddenFlag delegate;
  hud->setDelegate(&delegate);
  hud->setMode(FxActivityIndicator::kModeDeterminate);
  hud->setRemoveFromSuperViewOnHide(true);

  auto target = std::make_shared<std::atomic<int>>(0);  // stands for the task's target object
  std::weak_ptr<std::atomic<int>> targetAlive = target;
  std::atomic<std::thread::id> worker;
  std::atomic<int> step{0};
  FxActivityIndicator* overlay = hud.get();
  hud->showWhileExecuting(
      [overlay, target, &worker, &step] {
        worker = std::this_thread::get_id();
        for (int i = 1; i <= kSteps; ++i) {
          overlay->setLabelText("第 " + std::to_string(i) + " 步");
          overlay->setDetailsLabelText(std::to_string(i * 100 / kSteps) + "%");
          overlay->setProgress(float(i) / kSteps);
          target->fetch_add(1);
          step = i;
          std::this_thread::yield();
        }
      },
      false);
  target.reset();  // the overlay keeps it while the task runs
  EXPECT_TRUE(hud->taskInProgress());
  EXPECT_EQ(hud->alpha(), 1.0);

  // The main loop draws while the worker updates.
  int frames = 0;
  const bool hidden = loop.runUntil(
      [&] {
        ui::Renderer::render(*host);
        ++frames;
        return delegate.calls > 0;
      },
      std::chrono::seconds(20));
  ASSERT_TRUE(hidden);
  EXPECT_GT(frames, 0);
  EXPECT_EQ(delegate.calls, 1);
  EXPECT_EQ(delegate.thread, std::this_thread::get_id());
  EXPECT_NE(worker.load(), std::this_thread::get_id());
  EXPECT_FALSE(hud->taskInProgress());
  EXPECT_EQ(hud->superview(), nullptr);
  EXPECT_TRUE(targetAlive.expired()) << "the task's target is released after the task";
  EXPECT_EQ(step.load(), kSteps);
  // Every update queued by the worker ran before the hide.
  EXPECT_EQ(hud->labelText(), "第 " + std::to_string(kSteps) + " 步");
  EXPECT_EQ(hud->detailsLabelText(), "100%");
  EXPECT_FLOAT_EQ(hud->progress(), 1.0f);
  EXPECT_FLOAT_EQ(std::static_pointer_cast<FxRoundProgressView>(hud->indicator())->progress(),
                  1.0f);
}

}  // namespace
}  // namespace nb
