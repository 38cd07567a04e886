#include "nb/ui/FxActivityIndicator.h"

#include <cmath>
#include <thread>

#include "nb/platform/RunLoop.h"
#include "nb/ui/FxRoundProgressView.h"
#include "nb/ui/toolkit/ActivityIndicatorView.h"
#include "nb/ui/toolkit/Device.h"
#include "nb/ui/toolkit/MainThread.h"
#include "nb/ui/toolkit/NotificationCenter.h"

namespace nb {

namespace {

constexpr double kPadding = 4.0;  // space between indicator and labels
constexpr double kAnimationTime = 0.3;
constexpr double kCornerRadius = 10.0;

ui::Rect boundsOrThrow(ui::View* view) {
  if (view == nullptr) throw FxActivityViewIsNillException();
  return view->bounds();
}

}  // namespace

FxActivityIndicator::FxActivityIndicator(ui::View* view)
    : FxActivityIndicator(boundsOrThrow(view)) {
  if (view->isWindow()) setTransformForCurrentOrientation(false);
  ui::NotificationCenter::defaultCenter().addObserver(
      this, ui::kDeviceOrientationDidChangeNotification, [this] { deviceOrientationDidChange(); });
}

FxActivityIndicator::FxActivityIndicator(const ui::Rect& frame) : ui::View(frame) {
  animationType_ = kAnimationFade;
  setMode(kModeIndeterminate);
  labelText_.reset();
  detailsLabelText_.reset();
  opacity_ = 0.8f;
  labelFont_ = ui::Font::boldSystemFontOfSize(16);
  detailsLabelFont_ = ui::Font::boldSystemFontOfSize(12);
  xOffset_ = yOffset_ = 0;
  dimBackground_ = false;
  margin_ = 20.0f;
  graceTime_ = 0.0f;
  minShowTime_ = 0.0f;
  removeFromSuperViewOnHide_ = false;
  setAutoresizingMask(kFlexibleLeftMargin | kFlexibleRightMargin | kFlexibleTopMargin |
                      kFlexibleBottomMargin);
  setOpaque(false);
  setBackgroundColor(ui::Color::clear());
  setAlpha(0.0);
  label_ = std::make_shared<ui::Label>(bounds());
  detailsLabel_ = std::make_shared<ui::Label>(bounds());
  taskInProgress_ = false;
  rotationTransform_ = ui::AffineTransform::identity();
}

FxActivityIndicator::~FxActivityIndicator() {
  ui::NotificationCenter::defaultCenter().removeObserver(this);
  if (graceTimer_) graceTimer_->invalidate();
  if (minShowTimer_) minShowTimer_->invalidate();
}

std::shared_ptr<FxActivityIndicator> FxActivityIndicator::showHUDAddedTo(ui::View* view,
                                                                         bool animated) {
  auto hud = std::make_shared<FxActivityIndicator>(view);
  view->addSubview(hud);
  hud->show(animated);
  return hud;
}

bool FxActivityIndicator::hideHUDForView(ui::View* view, bool animated) {
  std::shared_ptr<FxActivityIndicator> last;
  for (const auto& sub : view->subviews()) {
    if (auto hud = std::dynamic_pointer_cast<FxActivityIndicator>(sub)) last = hud;
  }
  if (!last) return false;
  last->setRemoveFromSuperViewOnHide(true);
  last->hide(animated);
  return true;
}

// ---- Content setters (any thread) ----

void FxActivityIndicator::onMainThread(std::function<void(FxActivityIndicator&)> step) {
  if (ui::isMainThread()) {
    step(*this);
    return;
  }
  // The whole setter runs on the main thread, so no field is shared between threads.
  std::weak_ptr<ui::View> weak = weak_from_this();
  ui::performOnMainThread([weak, step = std::move(step)] {
    if (auto self = weak.lock()) step(static_cast<FxActivityIndicator&>(*self));
  });
}

void FxActivityIndicator::setMode(int mode) {
  onMainThread([mode](FxActivityIndicator& self) { self.applyMode(mode); });
}

void FxActivityIndicator::setLabelText(std::optional<std::string> text) {
  onMainThread([text = std::move(text)](FxActivityIndicator& self) { self.applyLabelText(text); });
}

void FxActivityIndicator::setDetailsLabelText(std::optional<std::string> text) {
  onMainThread(
      [text = std::move(text)](FxActivityIndicator& self) { self.applyDetailsLabelText(text); });
}

void FxActivityIndicator::setProgress(float progress) {
  onMainThread([progress](FxActivityIndicator& self) { self.applyProgress(progress); });
}

void FxActivityIndicator::applyMode(int mode) {
  // Changing to the current determinate or custom mode keeps the indicator;
  // mode 0 always rebuilds the spinner.
  if (mode_ != kModeIndeterminate && mode_ == mode) return;
  mode_ = mode;
  updateIndicators();
  setNeedsLayout();
  setNeedsDisplay();
}

void FxActivityIndicator::applyLabelText(std::optional<std::string> text) {
  updateLabelText(text);
  setNeedsLayout();
  setNeedsDisplay();
}

void FxActivityIndicator::applyDetailsLabelText(std::optional<std::string> text) {
  updateDetailsLabelText(text);
  setNeedsLayout();
  setNeedsDisplay();
}

void FxActivityIndicator::applyProgress(float progress) {
  progress_ = progress;
  if (mode_ != kModeDeterminate) return;
  updateProgress();
  setNeedsDisplay();
}

void FxActivityIndicator::updateLabelText(const std::optional<std::string>& text) {
  labelText_ = text;
}

void FxActivityIndicator::updateDetailsLabelText(const std::optional<std::string>& text) {
  detailsLabelText_ = text;
}

void FxActivityIndicator::updateProgress() {
  if (auto round = std::dynamic_pointer_cast<FxRoundProgressView>(indicator_)) {
    round->setProgress(progress_);
  }
}

void FxActivityIndicator::updateIndicators() {
  if (indicator_) indicator_->removeFromSuperview();
  if (mode_ == kModeCustomView && customView_) {
    indicator_ = customView_;
  } else if (mode_ == kModeDeterminate) {
    indicator_ = std::make_shared<FxRoundProgressView>();
  } else {
    auto spinner =
        std::make_shared<ui::ActivityIndicatorView>(ui::kActivityIndicatorViewStyleWhiteLarge);
    spinner->startAnimating();
    indicator_ = spinner;
  }
  addSubview(indicator_);
}

// ---- Showing and hiding ----

void FxActivityIndicator::show(bool animated) {
  useAnimation_ = animated;
  if (graceTime_ > 0.0f) {
    std::weak_ptr<ui::View> weak = weak_from_this();
    graceTimer_ = ui::Timer::scheduledTimer(graceTime_, false, [weak] {
      if (auto self = weak.lock()) static_cast<FxActivityIndicator&>(*self).handleGraceTimer();
    });
    return;
  }
  setNeedsDisplay();
  showUsingAnimation(useAnimation_);
}

void FxActivityIndicator::handleGraceTimer() {
  // A grace time only matters for a task: without one the overlay stays invisible.
  if (taskInProgress_) {
    setNeedsDisplay();
    showUsingAnimation(useAnimation_);
  }
}

void FxActivityIndicator::showUsingAnimation(bool animated) {
  setAlpha(0.0);
  if (animated && animationType_ == kAnimationZoom) {
    setTransform(rotationTransform_.concat(ui::AffineTransform::scale(1.5, 1.5)));
  }
  showStarted_ = RunLoop::current().currentTime();
  if (animated) {
    ui::View::animate(kAnimationTime, [this] {
      setAlpha(1.0);
      if (animationType_ == kAnimationZoom) setTransform(rotationTransform_);
    });
  } else {
    setAlpha(1.0);
  }
}

void FxActivityIndicator::hide(bool animated) {
  useAnimation_ = animated;
  if (minShowTime_ > 0.0f && showStarted_) {
    const double elapsed =
        std::chrono::duration<double>(RunLoop::current().currentTime() - *showStarted_).count();
    if (elapsed < minShowTime_) {
      std::weak_ptr<ui::View> weak = weak_from_this();
      minShowTimer_ = ui::Timer::scheduledTimer(minShowTime_ - elapsed, false, [weak] {
        if (auto self = weak.lock()) static_cast<FxActivityIndicator&>(*self).handleMinShowTimer();
      });
      return;
    }
  }
  hideUsingAnimation(useAnimation_);
}

void FxActivityIndicator::hide(bool animated, double afterDelay) {
  std::weak_ptr<ui::View> weak = weak_from_this();
  ui::performAfterDelay(afterDelay, [weak, animated] {
    if (auto self = weak.lock()) static_cast<FxActivityIndicator&>(*self).hideDelayed(animated);
  });
}

void FxActivityIndicator::hideDelayed(bool animated) { hide(animated); }

void FxActivityIndicator::handleMinShowTimer() { hideUsingAnimation(useAnimation_); }

void FxActivityIndicator::hideUsingAnimation(bool animated) {
  if (animated) {
    std::weak_ptr<ui::View> weak = weak_from_this();
    ui::View::animate(
        kAnimationTime,
        [this] {
          if (animationType_ == kAnimationZoom) {
            setTransform(rotationTransform_.concat(ui::AffineTransform::scale(0.5, 0.5)));
          }
          setAlpha(0.02);
        },
        [weak](bool) {
          if (auto self = weak.lock()) static_cast<FxActivityIndicator&>(*self).animationFinished();
        });
  } else {
    setAlpha(0.0);
    done();
  }
}

void FxActivityIndicator::animationFinished() { done(); }

void FxActivityIndicator::done() {
  // The delegate or the removal may release the last owner: stay alive to the end.
  std::shared_ptr<ui::View> keep = weak_from_this().lock();
  isFinished_ = true;
  setAlpha(0.0);
  if (delegate_ != nullptr) delegate_->hudWasHidden(this);
  if (removeFromSuperViewOnHide_) removeFromSuperview();
}

// ---- Task on a worker thread ----

void FxActivityIndicator::showWhileExecuting(std::function<void()> method, bool animated) {
  methodForExecution_ = std::move(method);
  taskInProgress_ = true;
  launchExecution();
  show(animated);
}

void FxActivityIndicator::launchExecution() {
  std::weak_ptr<ui::View> weak = weak_from_this();
  std::thread([weak, task = methodForExecution_]() mutable {
    task();
    task = nullptr;  // the task's captures are released before the main thread takes over
    ui::performOnMainThread([weak] {
      if (auto self = weak.lock()) static_cast<FxActivityIndicator&>(*self).cleanUp();
    });
  }).detach();
}

void FxActivityIndicator::cleanUp() {
  taskInProgress_ = false;
  methodForExecution_ = nullptr;  // releases the target and argument it holds
  hide(useAnimation_);
}

// ---- Layout and drawing ----

void FxActivityIndicator::layoutSubviews() {
  const double W = bounds().size.width, H = bounds().size.height;
  const double m = margin_;
  const double iw = indicator_ ? indicator_->bounds().size.width : 0;
  const double ih = indicator_ ? indicator_->bounds().size.height : 0;
  width_ = float(iw + 2 * m);
  height_ = float(ih + 2 * m);
  ui::Rect indicatorFrame(std::floor((W - iw) / 2) + xOffset_, std::floor((H - ih) / 2) + yOffset_,
                          iw, ih);
  if (indicator_) indicator_->setFrame(indicatorFrame);

  auto style = [](ui::Label& label, const ui::Font& font, const std::string& text) {
    label.setFont(font);
    label.setAdjustsFontSizeToFitWidth(false);
    label.setTextAlignment(ui::TextAlignment::kCenter);
    label.setOpaque(false);
    label.setBackgroundColor(ui::Color::clear());
    label.setTextColor(ui::Color::white());
    label.setText(text);
  };

  if (!labelText_) {
    label_->removeFromSuperview();
    detailsLabel_->removeFromSuperview();
    return;
  }
  const ui::Size line = labelFont_.measure(*labelText_);
  const double lw = line.width <= W - 2 * m ? line.width : W - 4 * m;
  // A message too wide for the box takes a second line rather than being cut.
  const ui::Size t = line.width <= lw
                         ? line
                         : ui::Size{lw, std::min(labelFont_.measure(*labelText_, lw).height,
                                                 2 * line.height)};
  style(*label_, labelFont_, *labelText_);
  if (lw + 2 * m > width_) width_ = float(lw + 2 * m);
  height_ += float(t.height + kPadding);
  indicatorFrame.origin.y -= std::floor(t.height / 2 + kPadding / 2);
  if (indicator_) indicator_->setFrame(indicatorFrame);
  ui::Rect labelFrame(std::floor((W - lw) / 2) + xOffset_,
                      std::floor(indicatorFrame.minY() + ih + kPadding), lw, t.height);
  label_->setFrame(labelFrame);
  addSubview(label_);

  if (!detailsLabelText_) {
    detailsLabel_->removeFromSuperview();
    return;
  }
  const ui::Size d = detailsLabelFont_.measure(*detailsLabelText_);
  const double dlw = d.width <= W - 2 * m ? d.width : W - 4 * m;
  style(*detailsLabel_, detailsLabelFont_, *detailsLabelText_);
  if (dlw > width_) width_ = float(dlw + 2 * m);
  height_ += float(d.height + kPadding);
  const double shift = std::floor(d.height / 2 + kPadding / 2);
  indicatorFrame.origin.y -= shift;
  labelFrame.origin.y -= shift;
  if (indicator_) indicator_->setFrame(indicatorFrame);
  label_->setFrame(labelFrame);
  detailsLabel_->setFrame(ui::Rect(std::floor((W - dlw) / 2) + xOffset_,
                                   labelFrame.minY() + t.height + kPadding, dlw, d.height));
  addSubview(detailsLabel_);
}

ui::Rect FxActivityIndicator::boxRect() const {
  const double W = bounds().size.width, H = bounds().size.height;
  return {std::round((W - width_) / 2) + xOffset_, std::round((H - height_) / 2) + yOffset_, width_,
          height_};
}

void FxActivityIndicator::drawRect(ui::DrawingContext& context, const ui::Rect&) {
  const double W = bounds().size.width, H = bounds().size.height;
  if (dimBackground_) {
    context.drawRadialGradient({W / 2, H / 2}, 0, ui::Color::black(0.0), std::min(W, H),
                               ui::Color::black(0.75));
  }
  const ui::Rect box = boxRect();
  const double r = kCornerRadius;
  context.setFillColor(ui::Color::grey(0.2, opacity_));
  context.beginPath();
  context.moveToPoint(box.minX() + r, box.minY());
  context.addArc(box.maxX() - r, box.minY() + r, r, 3 * M_PI / 2, 0, false);
  context.addArc(box.maxX() - r, box.maxY() - r, r, 0, M_PI / 2, false);
  context.addArc(box.minX() + r, box.maxY() - r, r, M_PI / 2, M_PI, false);
  context.addArc(box.minX() + r, box.minY() + r, r, M_PI, 3 * M_PI / 2, false);
  context.closePath();
  context.fillPath();
}

// ---- Orientation ----

void FxActivityIndicator::deviceOrientationDidChange() {
  if (superview() != nullptr && superview()->isWindow()) setTransformForCurrentOrientation(true);
}

void FxActivityIndicator::setTransformForCurrentOrientation(bool animated) {
  const int orientation = ui::Device::statusBarOrientation();
  if (superview() != nullptr) {
    setBounds(superview()->bounds());
    setNeedsDisplay();
  }
  double degrees;
  if (orientation == ui::kOrientationLandscapeRight ||
      orientation == ui::kOrientationLandscapeLeft) {
    degrees = orientation == ui::kOrientationLandscapeLeft ? -90 : 90;
    const ui::Rect b = bounds();
    setBounds(ui::Rect(0, 0, b.size.height, b.size.width));
  } else {
    degrees = orientation == ui::kOrientationPortraitUpsideDown ? 180 : 0;
  }
  rotationTransform_ = ui::AffineTransform::rotation(degrees * M_PI / 180);
  if (animated) {
    ui::View::animate(kAnimationTime, [this] { setTransform(rotationTransform_); });
  } else {
    setTransform(rotationTransform_);
  }
}

}  // namespace nb
