// What a window host relies on to draw only when needed: a visible change
// marks the window, a change inside a hidden or transparent view does not;
// and tweened animations move alpha and transform over their duration on the
// run loop's clock (driven here), giving way to a value set meanwhile.
#include <gtest/gtest.h>

#include "nb/platform/RunLoop.h"
#include "nb/ui/toolkit/Label.h"
#include "nb/ui/toolkit/Renderer.h"
#include "nb/ui/toolkit/Window.h"

namespace nb::ui {
namespace {

TEST(ViewChange, OnlyVisibleChangesMarkTheWindowForDrawing) {
  auto window = std::make_shared<Window>(Rect(0, 0, 100, 100));
  auto panel = std::make_shared<View>(Rect(0, 0, 50, 50));
  auto label = std::make_shared<Label>(Rect(0, 0, 50, 20));
  panel->addSubview(label);
  window->addSubview(panel);
  struct Case {
    const char* name;
    std::function<void()> change;
    bool redraw;
  };
  const Case cases[] = {
      {"label text", [&] { label->setText("x"); }, true},
      {"moved",
       [&] {
         label->setCenter({30, 30});
       },
       true},
      {"panel hidden", [&] { panel->setHidden(true); }, true},
      {"text in a hidden panel", [&] { label->setText("y"); }, false},
      {"panel shown again", [&] { panel->setHidden(false); }, true},
      {"panel faded out", [&] { panel->setAlpha(0); }, true},
      {"text in a transparent panel", [&] { label->setText("z"); }, false},
      {"label coloured in a transparent panel", [&] { label->setTextColor(Color::white()); },
       false},
      {"panel back", [&] { panel->setAlpha(1); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Renderer::render(*window);
    ASSERT_FALSE(window->needsDisplay());
    c.change();
    EXPECT_EQ(window->needsDisplay(), c.redraw);
  }
}

class TweenedAnimation : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.useManualClock();
    View::setAnimationsTweened(true);
  }
  void TearDown() override { View::setAnimationsTweened(false); }
  RunLoop& loop = RunLoop::current();
};

TEST_F(TweenedAnimation, AlphaAndTransformMoveOverTheDurationThenComplete) {
  auto view = std::make_shared<View>(Rect(0, 0, 10, 10));
  view->setAlpha(0);
  int completions = 0;
  View::animate(
      0.3,
      [&] {
        view->setAlpha(0.5);  // a block may set a value twice: the last one counts
        view->setAlpha(1);
        view->setTransform(AffineTransform::scale(2, 2));
      },
      [&](bool finished) { completions += finished ? 1 : 0; });
  EXPECT_EQ(view->alpha(), 0);  // starts where it was
  loop.advanceClock(std::chrono::milliseconds(150));
  EXPECT_GT(view->alpha(), 0.3);
  EXPECT_LT(view->alpha(), 0.7);
  EXPECT_GT(view->transform().a, 1.3);
  EXPECT_LT(view->transform().a, 1.7);
  EXPECT_EQ(completions, 0);
  loop.advanceClock(std::chrono::milliseconds(200));
  EXPECT_EQ(view->alpha(), 1);
  EXPECT_EQ(view->transform(), AffineTransform::scale(2, 2));
  EXPECT_EQ(completions, 1);
}

TEST_F(TweenedAnimation, AValueSetDuringTheTweenStays) {
  auto view = std::make_shared<View>(Rect(0, 0, 10, 10));
  view->setAlpha(0);
  View::animate(0.3, [&] { view->setAlpha(1); });
  loop.advanceClock(std::chrono::milliseconds(100));
  view->setAlpha(0.25);  // say, hidden at once while fading in
  loop.advanceClock(std::chrono::milliseconds(300));
  EXPECT_EQ(view->alpha(), 0.25);
}

}  // namespace
}  // namespace nb::ui
