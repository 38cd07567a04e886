// FxActivityIndicator is the progress overlay: a transparent view laid over
// another view (or a window) that draws a dark rounded box in its middle with
// an indicator (spinner, round progress view or a caller's view), an optional
// main label and an optional details label. It fades or zooms in and out, can
// wait a grace time, stay a minimum time, run a task on a worker thread and
// hide when the task ends, follows the device orientation when it sits on a
// window, and tells its delegate when it has been hidden.
//
// Ownership: the view it is added to owns it; the delegate is not owned and
// must outlive the overlay or be cleared first. Threads: a main-thread object,
// except setMode, setLabelText, setDetailsLabelText and setProgress, which may
// be called from any thread (off the main thread they queue their whole work
// to the main run loop and return at once).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "nb/ui/toolkit/Label.h"
#include "nb/ui/toolkit/Timer.h"
#include "nb/ui/toolkit/View.h"

namespace nb {

class FxActivityIndicator;

// Told when an overlay has been hidden. Override either form; the one with
// the overlay is called, and by default it calls the one without.
class FxActivityDelegate {
 public:
  virtual ~FxActivityDelegate() = default;
  virtual void hudWasHidden(FxActivityIndicator* hud) {
    (void)hud;
    hudWasHidden();
  }
  virtual void hudWasHidden() {}
};

// Thrown when an overlay is made for an absent view.
class FxActivityViewIsNillException : public std::invalid_argument {
 public:
  FxActivityViewIsNillException()
      : std::invalid_argument("The view used in the FxActivity initializer is nil.") {}
  static constexpr const char* name() { return "FxActivityViewIsNillException"; }
};

class FxActivityIndicator : public ui::View {
 public:
  enum Mode { kModeIndeterminate = 0, kModeDeterminate = 1, kModeCustomView = 2 };
  enum AnimationType { kAnimationFade = 0, kAnimationZoom = 1 };

  // Over `view` (a window too): its bounds as frame; on a window the
  // orientation's rotation applies at once. Not added to the view here.
  // Throws FxActivityViewIsNillException when `view` is null.
  explicit FxActivityIndicator(ui::View* view);
  explicit FxActivityIndicator(const ui::Rect& frame);
  ~FxActivityIndicator() override;

  // Makes an overlay over `view`, adds it there, shows it and returns it.
  static std::shared_ptr<FxActivityIndicator> showHUDAddedTo(ui::View* view, bool animated);
  // Hides (and removes when hidden) the last overlay among the view's
  // subviews; false when there is none.
  static bool hideHUDForView(ui::View* view, bool animated);

  // Content; any thread.
  void setMode(int mode);
  void setLabelText(std::optional<std::string> text);
  void setDetailsLabelText(std::optional<std::string> text);
  void setProgress(float progress);

  // Showing and hiding; main thread.
  void show(bool animated);
  void hide(bool animated);
  void hide(bool animated, double afterDelay);
  // Runs `method` on a new detached thread while the overlay is shown, then
  // hides it on the main thread. `method` owns whatever target and argument
  // it captures; they are released on the main thread when it has returned.
  // The task may change the overlay only through the four content setters.
  void showWhileExecuting(std::function<void()> method, bool animated);

  void layoutSubviews() override;
  void drawRect(ui::DrawingContext& context, const ui::Rect& rect) override;
  void deviceOrientationDidChange();
  void setTransformForCurrentOrientation(bool animated);

  // Properties.
  int mode() const { return mode_; }
  int animationType() const { return animationType_; }
  void setAnimationType(int t) { animationType_ = t; }
  FxActivityDelegate* delegate() const { return delegate_; }
  void setDelegate(FxActivityDelegate* d) { delegate_ = d; }
  float opacity() const { return opacity_; }
  void setOpacity(float o) { opacity_ = o; }
  const ui::Font& labelFont() const { return labelFont_; }
  void setLabelFont(const ui::Font& f) { labelFont_ = f; }
  const ui::Font& detailsLabelFont() const { return detailsLabelFont_; }
  void setDetailsLabelFont(const ui::Font& f) { detailsLabelFont_ = f; }
  const std::shared_ptr<ui::View>& indicator() const { return indicator_; }
  void setIndicator(std::shared_ptr<ui::View> v) { indicator_ = std::move(v); }
  float width() const { return width_; }
  void setWidth(float w) { width_ = w; }
  float height() const { return height_; }
  void setHeight(float h) { height_ = h; }
  float xOffset() const { return xOffset_; }
  void setXOffset(float x) { xOffset_ = x; }
  float yOffset() const { return yOffset_; }
  void setYOffset(float y) { yOffset_ = y; }
  float margin() const { return margin_; }
  void setMargin(float m) { margin_ = m; }
  bool dimBackground() const { return dimBackground_; }
  void setDimBackground(bool on) { dimBackground_ = on; }
  float graceTime() const { return graceTime_; }
  void setGraceTime(float t) { graceTime_ = t; }
  float minShowTime() const { return minShowTime_; }
  void setMinShowTime(float t) { minShowTime_ = t; }
  const std::shared_ptr<ui::Timer>& graceTimer() const { return graceTimer_; }
  void setGraceTimer(std::shared_ptr<ui::Timer> t) { graceTimer_ = std::move(t); }
  const std::shared_ptr<ui::Timer>& minShowTimer() const { return minShowTimer_; }
  void setMinShowTimer(std::shared_ptr<ui::Timer> t) { minShowTimer_ = std::move(t); }
  bool taskInProgress() const { return taskInProgress_; }
  void setTaskInProgress(bool on) { taskInProgress_ = on; }
  bool removeFromSuperViewOnHide() const { return removeFromSuperViewOnHide_; }
  void setRemoveFromSuperViewOnHide(bool on) { removeFromSuperViewOnHide_ = on; }
  const std::shared_ptr<ui::View>& customView() const { return customView_; }
  void setCustomView(std::shared_ptr<ui::View> v) { customView_ = std::move(v); }
  // Run-loop time when the box became visible, if it has.
  const std::optional<std::chrono::steady_clock::time_point>& showStarted() const {
    return showStarted_;
  }
  const std::optional<std::string>& labelText() const { return labelText_; }
  const std::optional<std::string>& detailsLabelText() const { return detailsLabelText_; }
  float progress() const { return progress_; }
  bool isFinished() const { return isFinished_; }
  bool useAnimation() const { return useAnimation_; }
  const ui::AffineTransform& rotationTransform() const { return rotationTransform_; }
  const std::shared_ptr<ui::Label>& label() const { return label_; }
  const std::shared_ptr<ui::Label>& detailsLabel() const { return detailsLabel_; }

  // The box as drawRect fills it, in the overlay's coordinates.
  ui::Rect boxRect() const;

 private:
  void hideDelayed(bool animated);
  void handleGraceTimer();
  void handleMinShowTimer();
  void launchExecution();
  void cleanUp();
  void showUsingAnimation(bool animated);
  void hideUsingAnimation(bool animated);
  void animationFinished();
  void done();
  void updateLabelText(const std::optional<std::string>& text);
  void updateDetailsLabelText(const std::optional<std::string>& text);
  void updateProgress();
  void updateIndicators();
  void applyMode(int mode);
  void applyLabelText(std::optional<std::string> text);
  void applyDetailsLabelText(std::optional<std::string> text);
  void applyProgress(float progress);
  // Runs `step` with this overlay now on the main thread, or queues it there.
  void onMainThread(std::function<void(FxActivityIndicator&)> step);

  int mode_ = 0;
  int animationType_ = 0;
  std::function<void()> methodForExecution_;
  bool useAnimation_ = false;
  float yOffset_ = 0, xOffset_ = 0;
  float width_ = 0, height_ = 0;
  float margin_ = 20.0f;
  bool dimBackground_ = false;
  bool taskInProgress_ = false;
  float graceTime_ = 0.0f;
  float minShowTime_ = 0.0f;
  std::shared_ptr<ui::Timer> graceTimer_;
  std::shared_ptr<ui::Timer> minShowTimer_;
  std::optional<std::chrono::steady_clock::time_point> showStarted_;
  std::shared_ptr<ui::View> indicator_;
  std::shared_ptr<ui::Label> label_;
  std::shared_ptr<ui::Label> detailsLabel_;
  float progress_ = 0.0f;
  FxActivityDelegate* delegate_ = nullptr;
  std::optional<std::string> labelText_;
  std::optional<std::string> detailsLabelText_;
  float opacity_ = 0.8f;
  ui::Font labelFont_;
  ui::Font detailsLabelFont_;
  bool isFinished_ = false;
  bool removeFromSuperViewOnHide_ = false;
  std::shared_ptr<ui::View> customView_;
  ui::AffineTransform rotationTransform_;
};

}  // namespace nb
