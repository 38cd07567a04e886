// View is a rectangle of the screen in a tree of views: geometry (frame,
// bounds, centre, transform), look (alpha, hidden, opaque, background colour),
// autoresizing of its subviews, layout and drawing on demand, and taps.
//
// Ownership: a view owns its subviews (shared pointers); its superview is a
// plain back pointer, cleared when the view is removed. Views are made with
// std::make_shared. Threads: main thread only, like every toolkit object
// except the thread helpers of MainThread.h.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nb/ui/toolkit/DrawingContext.h"
#include "nb/ui/toolkit/Geometry.h"

namespace nb::ui {

class Window;

class View : public std::enable_shared_from_this<View> {
 public:
  enum AutoresizingMask : unsigned {
    kFlexibleLeftMargin = 1,
    kFlexibleWidth = 2,
    kFlexibleRightMargin = 4,
    kFlexibleTopMargin = 8,
    kFlexibleHeight = 16,
    kFlexibleBottomMargin = 32,
  };

  explicit View(const Rect& frame = {});
  virtual ~View();
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // The frame is in the superview's coordinates: the box around the bounds
  // after the transform, which turns about the centre.
  Rect frame() const;
  void setFrame(const Rect& frame);
  Rect bounds() const { return bounds_; }
  void setBounds(const Rect& bounds);
  Point center() const { return center_; }
  void setCenter(Point center) { center_ = center, setNeedsDisplay(); }
  const AffineTransform& transform() const { return transform_; }
  void setTransform(const AffineTransform& t);

  double alpha() const { return alpha_; }
  void setAlpha(double alpha);
  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden);
  bool isOpaque() const { return opaque_; }
  void setOpaque(bool opaque) { opaque_ = opaque, setNeedsDisplay(); }
  Color backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(Color c) { backgroundColor_ = c, setNeedsDisplay(); }
  unsigned autoresizingMask() const { return autoresizingMask_; }
  void setAutoresizingMask(unsigned mask) { autoresizingMask_ = mask; }
  bool userInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool on) { userInteractionEnabled_ = on; }

  // Subviews in drawing order (later ones on top).
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  View* superview() const { return superview_; }
  // Adds `view` on top; a view already elsewhere leaves its old superview
  // first, and a subview of this view moves to the top.
  void addSubview(const std::shared_ptr<View>& view);
  // Keeps the view alive until the call returns, even if the superview held
  // the last reference.
  void removeFromSuperview();
  bool isDescendantOf(const View* ancestor) const;
  // The window this view is in, or null.
  Window* window();
  virtual bool isWindow() const { return false; }

  // Marks the view for drawing, and with it every ancestor up to the root
  // unless one of them is hidden or transparent: a window host redraws when
  // its window is marked, so a change nobody can see costs no frame.
  void setNeedsDisplay();
  bool needsDisplay() const { return needsDisplay_; }
  void clearNeedsDisplay() { needsDisplay_ = false; }
  void setNeedsLayout() { needsLayout_ = true; }
  bool needsLayout() const { return needsLayout_; }
  // Runs layoutSubviews when marked, then the same for the subviews.
  void layoutIfNeeded();
  virtual void layoutSubviews() {}
  // Draws the view's own content in its bounds' coordinates; the background
  // colour is already filled and the subviews follow.
  virtual void drawRect(DrawingContext& context, const Rect& rect);

  // Point conversion between this view's bounds and its superview's.
  Point convertFromSuperview(Point p) const;
  Point convertToSuperview(Point p) const;
  // Between this view's coordinates and the root view's (the window's).
  Point convertFromRoot(Point p) const;
  Point convertToRoot(Point p) const;
  // The deepest visible, interactive view under `p` (this view's coordinates).
  View* hitTest(Point p);
  // A completed tap at `p` in this view's coordinates; true when handled.
  // Unhandled taps go to the superview.
  virtual bool handleTap(Point p);

  // Runs `animations` (which set alpha or transform) and calls `completion`
  // with true after `duration` seconds on the current run loop. Untweened
  // (the default) the new values apply at once and the duration is only the
  // time before the completion; tweened, alpha and transform move from their
  // old values to the new ones over the duration, 60 steps a second on the
  // run loop's clock. A value set again meanwhile stops that value's tween.
  static void animate(double duration, const std::function<void()>& animations,
                      std::function<void(bool finished)> completion = nullptr);
  // A window host turns tweening on; tests that drive a manual clock may too.
  static void setAnimationsTweened(bool on);

 protected:
  // Called after the bounds changed size; applies the subviews' masks.
  virtual void resizeSubviews(Size oldSize);

 private:
  Point center_;
  Rect bounds_;
  AffineTransform transform_;
  double alpha_ = 1;
  bool hidden_ = false;
  bool opaque_ = true;
  bool userInteractionEnabled_ = true;
  Color backgroundColor_ = Color::clear();
  unsigned autoresizingMask_ = 0;
  // Bumped by every setAlpha / setTransform, so that a tween knows when a
  // later change took the value over.
  unsigned alphaSerial_ = 0;
  unsigned transformSerial_ = 0;
  friend struct Tween;
  bool needsDisplay_ = true;
  bool needsLayout_ = true;
  View* superview_ = nullptr;
  std::vector<std::shared_ptr<View>> subviews_;
};

}  // namespace nb::ui
