// Timing of the overlay on a run loop whose clock the test drives: grace time,
// minimum show time, animated and delayed hides, and the delegate.
#include <gtest/gtest.h>

#include "nb/platform/RunLoop.h"
#include "nb/ui/FxActivityIndicator.h"

namespace nb {
namespace {

using std::chrono::milliseconds;

struct CountingDelegate : FxActivityDelegate {
  int calls = 0;
  FxActivityIndicator* last = nullptr;
  void hudWasHidden(FxActivityIndicator* hud) override {
    ++calls;
    last = hud;
  }
};

class OverlayTiming : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.useManualClock();
    host->addSubview(hud);
    hud->setDelegate(&delegate);
  }
  void advance(int ms) { loop.advanceClock(milliseconds(ms)); }

  RunLoop& loop = RunLoop::current();
  std::shared_ptr<ui::View> host = std::make_shared<ui::View>(ui::Rect(0, 0, 320, 480));
  std::shared_ptr<FxActivityIndicator> hud = std::make_shared<FxActivityIndicator>(host.get());
  CountingDelegate delegate;
};

TEST_F(OverlayTiming, WithDefaultsShowAndHideAreImmediate) {
  EXPECT_EQ(hud->alpha(), 0.0);  // invisible until shown
  hud->show(false);
  EXPECT_EQ(hud->alpha(), 1.0);
  hud->hide(false);
  EXPECT_EQ(hud->alpha(), 0.0);
  EXPECT_TRUE(hud->isFinished());
  EXPECT_EQ(delegate.calls, 1);
  EXPECT_EQ(delegate.last, hud.get());
  EXPECT_EQ(hud->superview(), host.get());  // stays unless asked to leave
}

TEST_F(OverlayTiming, GraceTimeShowsOnlyWhileATaskRuns) {
  hud->setGraceTime(0.5f);
  hud->show(false);
  advance(1000);
  EXPECT_EQ(hud->alpha(), 0.0) << "no task: the grace timer shows nothing";

  hud->setTaskInProgress(true);
  hud->show(false);
  advance(499);
  EXPECT_EQ(hud->alpha(), 0.0);
  advance(1);
  EXPECT_EQ(hud->alpha(), 1.0);
}

TEST_F(OverlayTiming, MinimumShowTimePostponesTheHide) {
  hud->setMinShowTime(1.0f);
  hud->show(false);
  advance(200);
  hud->hide(false);
  EXPECT_EQ(hud->alpha(), 1.0);
  advance(799);
  EXPECT_EQ(hud->alpha(), 1.0);
  EXPECT_EQ(delegate.calls, 0);
  advance(1);
  EXPECT_EQ(hud->alpha(), 0.0);
  EXPECT_EQ(delegate.calls, 1);

  // Once the minimum has passed, a hide is immediate.
  hud->show(false);
  advance(1500);
  hud->hide(false);
  EXPECT_EQ(hud->alpha(), 0.0);
  EXPECT_EQ(delegate.calls, 2);
}

TEST_F(OverlayTiming, AnimatedHideHoldsNearlyTransparentThenRemovesAndTellsOnce) {
  hud->setRemoveFromSuperViewOnHide(true);
  hud->show(true);
  EXPECT_EQ(hud->alpha(), 1.0);
  hud->hide(true);
  EXPECT_DOUBLE_EQ(hud->alpha(), 0.02);
  advance(299);
  EXPECT_DOUBLE_EQ(hud->alpha(), 0.02);
  EXPECT_EQ(delegate.calls, 0);
  EXPECT_EQ(hud->superview(), host.get());
  advance(1);
  EXPECT_EQ(hud->alpha(), 0.0);
  EXPECT_EQ(delegate.calls, 1);
  EXPECT_EQ(hud->superview(), nullptr);
  advance(2000);
  EXPECT_EQ(delegate.calls, 1);
}

TEST_F(OverlayTiming, ZoomScalesAroundTheRotation) {
  hud->setAnimationType(FxActivityIndicator::kAnimationZoom);
  hud->show(true);
  EXPECT_TRUE(hud->transform().isIdentity());
  hud->hide(true);
  EXPECT_EQ(hud->transform(), ui::AffineTransform::scale(0.5, 0.5));
  advance(300);
  EXPECT_EQ(delegate.calls, 1);
}

TEST_F(OverlayTiming, HideAfterDelayWaitsThatLong) {
  hud->show(false);
  hud->hide(false, 1.0);
  advance(999);
  EXPECT_EQ(hud->alpha(), 1.0);
  advance(1);
  EXPECT_EQ(hud->alpha(), 0.0);
  EXPECT_EQ(delegate.calls, 1);
}

TEST_F(OverlayTiming, HudHelpersAddShowAndHideTheLastOverlay) {
  auto view = std::make_shared<ui::View>(ui::Rect(0, 0, 200, 200));
  EXPECT_FALSE(FxActivityIndicator::hideHUDForView(view.get(), false));
  auto first = FxActivityIndicator::showHUDAddedTo(view.get(), false);
  auto second = FxActivityIndicator::showHUDAddedTo(view.get(), true);
  view->addSubview(std::make_shared<ui::View>());  // a later non-overlay subview is skipped
  EXPECT_EQ(first->alpha(), 1.0);
  EXPECT_TRUE(FxActivityIndicator::hideHUDForView(view.get(), true));
  advance(300);
  EXPECT_EQ(second->superview(), nullptr);
  EXPECT_EQ(first->superview(), view.get());
  EXPECT_FALSE(first->removeFromSuperViewOnHide());
}

}  // namespace
}  // namespace nb
