#include "nb/ui/toolkit/Button.h"

namespace nb::ui {

Button::Button(const Rect& frame) : View(frame) { setBackgroundColor({0.16, 0.45, 0.85, 1}); }

void Button::sendActions() {
  auto keep = shared_from_this();
  auto action = action_;  // the action may replace itself
  if (action) action();
}

bool Button::handleTap(Point) {
  sendActions();
  return true;
}

void Button::drawRect(DrawingContext& context, const Rect&) {
  context.drawText(title_, font_, titleColor_, bounds(), TextAlignment::kCenter);
}

}  // namespace nb::ui
