#include "nb/ui/toolkit/ActivityIndicatorView.h"

#include <cmath>

#include "nb/ui/toolkit/Timer.h"

namespace nb::ui {

ActivityIndicatorView::ActivityIndicatorView(int style)
    : View(style == kActivityIndicatorViewStyleWhiteLarge ? Rect(0, 0, 37, 37)
                                                          : Rect(0, 0, 20, 20)),
      style_(style) {
  setOpaque(false);
}

ActivityIndicatorView::~ActivityIndicatorView() { stopAnimating(); }

void ActivityIndicatorView::startAnimating() {
  if (timer_) return;
  std::weak_ptr<View> weak = weak_from_this();
  timer_ = Timer::scheduledTimer(1.0 / 12, true, [weak] {
    if (auto self = std::static_pointer_cast<ActivityIndicatorView>(weak.lock())) {
      self->phase_ = (self->phase_ + 1) % 12;
      self->setNeedsDisplay();
    }
  });
}

void ActivityIndicatorView::stopAnimating() {
  if (timer_) timer_->invalidate();
  timer_ = nullptr;
}

void ActivityIndicatorView::drawRect(DrawingContext& context, const Rect&) {
  const Rect b = bounds();
  const double radius = std::min(b.size.width, b.size.height) / 2;
  const Color base =
      style_ == kActivityIndicatorViewStyleGray ? Color::grey(0.5, 1) : Color::white();
  context.setLineWidth(radius * 0.2);
  for (int i = 0; i < 12; ++i) {
    const double angle = -M_PI / 2 + i * M_PI / 6;
    const int age = (phase_ - i + 12) % 12;  // 0 for the brightest spoke
    Color c = base;
    c.a = 1.0 - age * 0.07;
    context.setStrokeColor(c);
    context.beginPath();
    context.moveToPoint(b.midX() + std::cos(angle) * radius * 0.45,
                        b.midY() + std::sin(angle) * radius * 0.45);
    context.addLineToPoint(b.midX() + std::cos(angle) * radius * 0.9,
                           b.midY() + std::sin(angle) * radius * 0.9);
    context.strokePath();
  }
}

}  // namespace nb::ui
