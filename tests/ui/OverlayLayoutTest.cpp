// Overlay construction, indicator modes, label layout and orientation.
#include <gtest/gtest.h>

#include <cmath>

#include "nb/ui/FxActivityIndicator.h"
#include "nb/ui/FxRoundProgressView.h"
#include "nb/ui/toolkit/ActivityIndicatorView.h"
#include "nb/ui/toolkit/Device.h"
#include "nb/ui/toolkit/NotificationCenter.h"
#include "nb/ui/toolkit/Window.h"

namespace nb {
namespace {

using ui::Rect;

TEST(OverlayLabel, AMessageTooWideForOneLineTakesASecondWhole) {
  auto host = std::make_shared<ui::View>(Rect(0, 0, 320, 436));  // a sign-in screen's overlay
  auto hud = std::make_shared<FxActivityIndicator>(host.get());
  const std::string message = "登录失败，可能用户名密码不对或者无此账号";
  hud->setLabelText(message);
  hud->layoutSubviews();
  const Rect label = hud->label()->frame();
  const ui::Size line = hud->labelFont().measure(message);
  ASSERT_GT(line.width, label.size.width);            // one line would be cut
  EXPECT_GE(label.size.height, 2 * line.height - 1);  // two lines of room
  EXPECT_LE(hud->labelFont().measure(message, label.size.width).height, label.size.height);
  EXPECT_GE(label.minY(), hud->indicator()->frame().maxY());  // below the spinner still

  hud->setLabelText("授权中...");  // a short one keeps one line
  hud->layoutSubviews();
  EXPECT_EQ(hud->label()->frame().size.height, hud->labelFont().measure("授权中...").height);
}

TEST(OverlayConstruction, MissingViewThrowsAndDefaultsAreSet) {
  try {
    FxActivityIndicator hud(static_cast<ui::View*>(nullptr));
    FAIL() << "no exception";
  } catch (const FxActivityViewIsNillException& e) {
    EXPECT_STREQ(e.what(), "The view used in the FxActivity initializer is nil.");
    EXPECT_STREQ(FxActivityViewIsNillException::name(), "FxActivityViewIsNillException");
  }

  auto host = std::make_shared<ui::View>(Rect(0, 0, 320, 480));
  auto hud = std::make_shared<FxActivityIndicator>(host.get());
  EXPECT_EQ(hud->frame(), host->bounds());
  EXPECT_EQ(hud->superview(), nullptr);
  EXPECT_EQ(hud->alpha(), 0.0);
  EXPECT_FALSE(hud->isOpaque());
  EXPECT_EQ(hud->autoresizingMask(), 45u);
  EXPECT_FLOAT_EQ(hud->opacity(), 0.8f);
  EXPECT_FLOAT_EQ(hud->margin(), 20.0f);
  EXPECT_EQ(hud->labelFont().pointSize, 16);
  EXPECT_TRUE(hud->labelFont().bold);
  EXPECT_EQ(hud->detailsLabelFont().pointSize, 12);
  EXPECT_FALSE(hud->labelText().has_value());
  auto spinner = std::dynamic_pointer_cast<ui::ActivityIndicatorView>(hud->indicator());
  ASSERT_NE(spinner, nullptr);
  EXPECT_EQ(spinner->activityIndicatorViewStyle(), ui::kActivityIndicatorViewStyleWhiteLarge);
  EXPECT_TRUE(spinner->isAnimating());
}

TEST(OverlayModes, SetModeRules) {
  auto hud = std::make_shared<FxActivityIndicator>(Rect(0, 0, 320, 480));
  const auto firstSpinner = hud->indicator();

  hud->setMode(0);  // 0 while in 0 rebuilds the spinner
  EXPECT_NE(hud->indicator(), firstSpinner);
  EXPECT_EQ(firstSpinner->superview(), nullptr);

  hud->setMode(2);  // custom mode without a custom view: a spinner
  EXPECT_NE(std::dynamic_pointer_cast<ui::ActivityIndicatorView>(hud->indicator()), nullptr);

  hud->setMode(1);
  auto round = std::dynamic_pointer_cast<FxRoundProgressView>(hud->indicator());
  ASSERT_NE(round, nullptr);
  EXPECT_EQ(round->frame().size, (ui::Size{37, 37}));
  hud->setMode(1);  // the current non-zero mode: nothing happens
  EXPECT_EQ(hud->indicator(), round);
  hud->setProgress(0.4f);
  EXPECT_FLOAT_EQ(round->progress(), 0.4f);

  auto custom = std::make_shared<ui::View>(Rect(0, 0, 50, 20));
  hud->setCustomView(custom);
  hud->setMode(2);
  EXPECT_EQ(hud->indicator(), custom);
  EXPECT_EQ(custom->superview(), hud.get());
  EXPECT_EQ(round->superview(), nullptr);

  // In mode 0 progress is stored but nothing is redrawn.
  hud->setMode(0);
  hud->clearNeedsDisplay();
  hud->setProgress(0.7f);
  EXPECT_FLOAT_EQ(hud->progress(), 0.7f);
  EXPECT_FALSE(hud->needsDisplay());
}

class OverlayLayout : public ::testing::Test {
 protected:
  // An overlay whose width is `width`, with the default 37-point spinner.
  std::shared_ptr<FxActivityIndicator> overlay(double width) {
    auto hud = std::make_shared<FxActivityIndicator>(Rect(0, 0, width, 400));
    hud->layoutIfNeeded();
    return hud;
  }
  const std::string text = "Uploading holiday photos";
  const ui::Size measured = ui::Font::boldSystemFontOfSize(16).measure(text);
};

TEST_F(OverlayLayout, LabelIsClippedOnlyBeyondTheWidthLessTwoMargins) {
  const double m = 20;
  auto fits = overlay(measured.width + 2 * m);
  fits->setLabelText(text);
  fits->layoutIfNeeded();
  EXPECT_EQ(fits->label()->frame().size.width, measured.width);
  EXPECT_FLOAT_EQ(fits->width(), float(measured.width + 2 * m));

  const double W = measured.width + 2 * m - 1;
  auto clipped = overlay(W);
  clipped->setLabelText(text);
  clipped->layoutIfNeeded();
  EXPECT_EQ(clipped->label()->frame().size.width, W - 4 * m);
  EXPECT_FLOAT_EQ(clipped->width(), float(W - 2 * m));
  EXPECT_EQ(clipped->label()->font().pointSize, 16);  // never shrinks the font
}

TEST_F(OverlayLayout, LabelsStackBelowTheIndicatorAndDetailsNeedAMainLabel) {
  auto hud = overlay(320);
  hud->setDetailsLabelText("12 of 40 files");
  hud->layoutIfNeeded();
  EXPECT_EQ(hud->detailsLabel()->superview(), nullptr);
  EXPECT_EQ(hud->label()->superview(), nullptr);
  EXPECT_FLOAT_EQ(hud->height(), 77.0f);

  hud->setLabelText(text);
  hud->layoutIfNeeded();
  const ui::Font details = ui::Font::boldSystemFontOfSize(12);
  const ui::Size d = details.measure("12 of 40 files");
  const double th = measured.height, P = 4;
  EXPECT_EQ(hud->detailsLabel()->superview(), hud.get());
  EXPECT_EQ(hud->label()->text(), text);
  EXPECT_EQ(hud->label()->textAlignment(), ui::TextAlignment::kCenter);
  EXPECT_FLOAT_EQ(hud->height(), float(37 + 40 + th + P + d.height + P));
  const Rect indicator = hud->indicator()->frame();
  EXPECT_EQ(indicator.minY(), std::floor((400 - 37) / 2.0) - std::floor(th / 2 + P / 2) -
                                  std::floor(d.height / 2 + P / 2));
  const Rect label = hud->label()->frame();
  EXPECT_EQ(label.minY(), std::floor(indicator.minY() + 37 + P));
  EXPECT_EQ(label.minX(), std::floor((320 - measured.width) / 2));
  EXPECT_EQ(hud->detailsLabel()->frame().minY(), label.minY() + th + P);

  hud->setLabelText(std::nullopt);  // without a main label neither label shows
  hud->layoutIfNeeded();
  EXPECT_EQ(hud->detailsLabel()->superview(), nullptr);
}

TEST(OverlayOrientation, OnAWindowItFollowsTheStatusBar) {
  auto window = std::make_shared<ui::Window>(Rect(0, 0, 320, 480));
  auto view = std::make_shared<ui::View>(Rect(0, 0, 320, 480));
  window->addSubview(view);
  ui::Device::setStatusBarOrientation(ui::kOrientationLandscapeRight);
  auto onWindow = FxActivityIndicator::showHUDAddedTo(window.get(), false);
  auto onView = FxActivityIndicator::showHUDAddedTo(view.get(), false);
  EXPECT_TRUE(onWindow->transform().nearlyEquals(ui::AffineTransform::rotation(M_PI / 2)));
  EXPECT_EQ(onWindow->bounds(), Rect(0, 0, 480, 320));
  EXPECT_TRUE(onView->transform().isIdentity());

  struct Case {
    int orientation;
    double degrees;
  };
  for (const Case& c :
       {Case{ui::kOrientationLandscapeLeft, -90}, Case{ui::kOrientationPortraitUpsideDown, 180},
        Case{ui::kOrientationPortrait, 0}}) {
    ui::Device::setStatusBarOrientation(c.orientation);
    ui::Device::setOrientation(c.orientation);  // posts the notification
    EXPECT_TRUE(
        onWindow->transform().nearlyEquals(ui::AffineTransform::rotation(c.degrees * M_PI / 180)))
        << c.orientation;
    EXPECT_TRUE(onView->transform().isIdentity());
  }
  EXPECT_EQ(onWindow->bounds(), Rect(0, 0, 320, 480));
}

}  // namespace
}  // namespace nb
