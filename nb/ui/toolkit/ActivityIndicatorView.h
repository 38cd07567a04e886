// ActivityIndicatorView is the spinning activity indicator: twelve spokes of
// fading opacity that turn one step every 1/12 s while animating. The large
// white style (value 0) is 37 × 37 points; gray (2) and white (1) are 20 × 20.
// Main thread only; the spin runs on the main run loop's timers.
#pragma once

#include <memory>

#include "nb/ui/toolkit/View.h"

namespace nb::ui {

class Timer;

enum ActivityIndicatorViewStyle {
  kActivityIndicatorViewStyleWhiteLarge = 0,
  kActivityIndicatorViewStyleWhite = 1,
  kActivityIndicatorViewStyleGray = 2,
};

class ActivityIndicatorView : public View {
 public:
  explicit ActivityIndicatorView(int style);
  ~ActivityIndicatorView() override;

  int activityIndicatorViewStyle() const { return style_; }
  void startAnimating();
  void stopAnimating();
  bool isAnimating() const { return timer_ != nullptr; }
  // The spoke drawn brightest, 0 ... 11.
  int phase() const { return phase_; }

  void drawRect(DrawingContext& context, const Rect& rect) override;

 private:
  int style_;
  int phase_ = 0;
  std::shared_ptr<Timer> timer_;
};

}  // namespace nb::ui
