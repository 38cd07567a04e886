#include "nb/ui/toolkit/View.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "nb/platform/RunLoop.h"
#include "nb/ui/toolkit/MainThread.h"
#include "nb/ui/toolkit/Timer.h"
#include "nb/ui/toolkit/Window.h"

namespace nb::ui {

// One animation block's changes of alpha and transform, moved from their old
// values to the new ones by a timer on the run loop.
struct Tween {
  struct Change {
    std::weak_ptr<View> view;
    bool alpha = true;  // else the transform
    double fromAlpha = 0, toAlpha = 0;
    AffineTransform fromTransform, toTransform;
    bool recorded = false;  // the start value is kept
    unsigned serial = 0;    // the view's serial for that value when the tween set it
  };
  std::vector<Change> changes;

  // The change of `view`'s alpha (or transform) in this block, new or
  // recorded before.
  Change& changeFor(View* view, bool alpha) {
    for (Change& c : changes) {
      if (c.alpha == alpha && c.view.lock().get() == view) return c;
    }
    Change& c = changes.emplace_back();
    c.view = view->weak_from_this();
    c.alpha = alpha;
    return c;
  }

  // Sets every value a fraction `t` (0..1) of the way, eased in and out.
  void apply(double t) {
    const double e = t * t * (3 - 2 * t);
    for (Change& c : changes) {
      auto view = c.view.lock();
      if (!view) continue;
      if (c.alpha && view->alphaSerial_ == c.serial) {
        view->setAlpha(c.fromAlpha + (c.toAlpha - c.fromAlpha) * e);
        c.serial = view->alphaSerial_;
      } else if (!c.alpha && view->transformSerial_ == c.serial) {
        const AffineTransform& f = c.fromTransform;
        const AffineTransform& g = c.toTransform;
        auto mix = [e](double x, double y) { return x + (y - x) * e; };
        view->setTransform({mix(f.a, g.a), mix(f.b, g.b), mix(f.c, g.c), mix(f.d, g.d),
                            mix(f.tx, g.tx), mix(f.ty, g.ty)});
        c.serial = view->transformSerial_;
      }
    }
  }
};

namespace {
bool gTweened = false;
Tween* gRecording = nullptr;  // the block being run by animate(), if tweened
}  // namespace

View::View(const Rect& frame) {
  markMainThread();
  setFrame(frame);
}

View::~View() {
  for (auto& sub : subviews_) sub->superview_ = nullptr;
}

Rect View::frame() const {
  const double w = bounds_.size.width, h = bounds_.size.height;
  if (transform_.isIdentity()) return {center_.x - w / 2, center_.y - h / 2, w, h};
  double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
  for (Point corner :
       {Point{-w / 2, -h / 2}, Point{w / 2, -h / 2}, Point{-w / 2, h / 2}, Point{w / 2, h / 2}}) {
    AffineTransform t = transform_;
    t.tx = t.ty = 0;
    const Point p = t.apply(corner);
    minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
  }
  return {center_.x + minX, center_.y + minY, maxX - minX, maxY - minY};
}

void View::setFrame(const Rect& frame) {
  center_ = {frame.midX(), frame.midY()};
  Rect b = bounds_;
  b.size = frame.size;
  setBounds(b);
}

void View::setAlpha(double alpha) {
  if (gRecording != nullptr && alpha != alpha_) {
    Tween::Change& c = gRecording->changeFor(this, true);
    if (!c.recorded) c.fromAlpha = alpha_, c.recorded = true;
    c.toAlpha = alpha;
  }
  alpha_ = alpha;
  ++alphaSerial_;
  needsDisplay_ = true;
  if (superview_ != nullptr) superview_->setNeedsDisplay();
}

void View::setTransform(const AffineTransform& t) {
  if (gRecording != nullptr && !(t == transform_)) {
    Tween::Change& c = gRecording->changeFor(this, false);
    if (!c.recorded) c.fromTransform = transform_, c.recorded = true;
    c.toTransform = t;
  }
  transform_ = t;
  ++transformSerial_;
  setNeedsDisplay();
}

void View::setHidden(bool hidden) {
  hidden_ = hidden;
  needsDisplay_ = true;
  if (superview_ != nullptr) superview_->setNeedsDisplay();
}

void View::setNeedsDisplay() {
  needsDisplay_ = true;
  for (View* v = this; v != nullptr; v = v->superview_) {
    if (v->hidden_ || v->alpha_ <= 0) return;
    v->needsDisplay_ = true;
  }
}

void View::setBounds(const Rect& bounds) {
  const Size old = bounds_.size;
  bounds_ = bounds;
  if (old != bounds.size) {
    resizeSubviews(old);
    setNeedsLayout();
  }
  setNeedsDisplay();
}

void View::resizeSubviews(Size oldSize) {
  const double dw = bounds_.size.width - oldSize.width;
  const double dh = bounds_.size.height - oldSize.height;
  // Each axis shares the change among its flexible parts in proportion to
  // their current lengths (equally when they are all zero).
  auto share = [](double delta, bool flex[3], double len[3], double out[3]) {
    double total = 0;
    int count = 0;
    for (int i = 0; i < 3; ++i) {
      if (flex[i]) total += len[i], ++count;
    }
    for (int i = 0; i < 3; ++i) {
      out[i] = !flex[i] ? 0 : total > 0 ? delta * len[i] / total : delta / count;
    }
  };
  for (auto& sub : subviews_) {
    const unsigned m = sub->autoresizingMask_;
    if (m == 0) continue;
    Rect f = sub->frame();
    bool fx[3] = {bool(m & kFlexibleLeftMargin), bool(m & kFlexibleWidth),
                  bool(m & kFlexibleRightMargin)};
    double lx[3] = {f.minX(), f.size.width, oldSize.width - f.maxX()};
    bool fy[3] = {bool(m & kFlexibleTopMargin), bool(m & kFlexibleHeight),
                  bool(m & kFlexibleBottomMargin)};
    double ly[3] = {f.minY(), f.size.height, oldSize.height - f.maxY()};
    double ox[3] = {0, 0, 0}, oy[3] = {0, 0, 0};
    if (dw != 0 && (fx[0] || fx[1] || fx[2])) share(dw, fx, lx, ox);
    if (dh != 0 && (fy[0] || fy[1] || fy[2])) share(dh, fy, ly, oy);
    f.origin.x += ox[0];
    f.size.width += ox[1];
    f.origin.y += oy[0];
    f.size.height += oy[1];
    if (sub->transform_.isIdentity()) {
      sub->setFrame(f);
    } else {
      sub->center_ = {f.midX(), f.midY()};
    }
  }
}

void View::addSubview(const std::shared_ptr<View>& view) {
  if (!view || view.get() == this) return;
  std::shared_ptr<View> keep = view;
  if (view->superview_ != nullptr) {
    auto& siblings = view->superview_->subviews_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), view), siblings.end());
  }
  view->superview_ = this;
  subviews_.push_back(view);
  view->setNeedsDisplay();
}

void View::removeFromSuperview() {
  if (superview_ == nullptr) return;
  std::shared_ptr<View> keep = shared_from_this();
  auto& siblings = superview_->subviews_;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), keep), siblings.end());
  superview_->setNeedsDisplay();
  superview_ = nullptr;
}

bool View::isDescendantOf(const View* ancestor) const {
  for (const View* v = this; v != nullptr; v = v->superview_) {
    if (v == ancestor) return true;
  }
  return false;
}

Window* View::window() {
  for (View* v = this; v != nullptr; v = v->superview_) {
    if (v->isWindow()) return static_cast<Window*>(v);
  }
  return nullptr;
}

void View::layoutIfNeeded() {
  if (needsLayout_) {
    needsLayout_ = false;
    layoutSubviews();
  }
  // Copy: a layout step may add or remove subviews.
  const auto subviews = subviews_;
  for (auto& sub : subviews) sub->layoutIfNeeded();
}

void View::drawRect(DrawingContext&, const Rect&) {}

Point View::convertFromSuperview(Point p) const {
  // Undo: translate to centre, transform, move the bounds' centre to the origin.
  AffineTransform t = transform_;
  const double det = t.a * t.d - t.b * t.c;
  const double x = p.x - center_.x - t.tx, y = p.y - center_.y - t.ty;
  const double ix = (t.d * x - t.c * y) / det, iy = (-t.b * x + t.a * y) / det;
  return {ix + bounds_.size.width / 2 + bounds_.origin.x,
          iy + bounds_.size.height / 2 + bounds_.origin.y};
}

Point View::convertFromRoot(Point p) const {
  if (superview_ == nullptr) return p;
  return convertFromSuperview(superview_->convertFromRoot(p));
}

Point View::convertToRoot(Point p) const {
  if (superview_ == nullptr) return p;
  return superview_->convertToRoot(convertToSuperview(p));
}

Point View::convertToSuperview(Point p) const {
  const Point local{p.x - bounds_.origin.x - bounds_.size.width / 2,
                    p.y - bounds_.origin.y - bounds_.size.height / 2};
  const Point q = transform_.apply(local);
  return {q.x + center_.x, q.y + center_.y};
}

View* View::hitTest(Point p) {
  if (hidden_ || alpha_ < 0.01 || !userInteractionEnabled_ || !bounds_.contains(p)) {
    return nullptr;
  }
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    if (View* hit = (*it)->hitTest((*it)->convertFromSuperview(p))) return hit;
  }
  return this;
}

bool View::handleTap(Point p) {
  if (superview_ == nullptr) return false;
  return superview_->handleTap(convertToSuperview(p));
}

void View::setAnimationsTweened(bool on) { gTweened = on; }

void View::animate(double duration, const std::function<void()>& animations,
                   std::function<void(bool)> completion) {
  auto tween = std::make_shared<Tween>();
  if (animations) {
    gRecording = gTweened && duration > 0 ? tween.get() : nullptr;
    animations();
    gRecording = nullptr;
  }
  if (tween->changes.empty()) {
    if (completion) {
      Timer::scheduledTimer(duration, false,
                            [completion = std::move(completion)] { completion(true); });
    }
    return;
  }
  for (Tween::Change& c : tween->changes) {
    if (auto view = c.view.lock()) c.serial = c.alpha ? view->alphaSerial_ : view->transformSerial_;
  }
  tween->apply(0);
  RunLoop& loop = RunLoop::current();
  const auto start = loop.currentTime();
  auto timer = std::make_shared<std::shared_ptr<Timer>>();
  *timer = Timer::scheduledTimer(1.0 / 60, true, [=, &loop, completion = std::move(completion)] {
    const double elapsed = std::chrono::duration<double>(loop.currentTime() - start).count();
    const double t = std::min(1.0, elapsed / duration);
    tween->apply(t);
    if (t < 1) return;
    (*timer)->invalidate();
    timer->reset();  // breaks the timer's hold on itself
    if (completion) completion(true);
  });
}

}  // namespace nb::ui
