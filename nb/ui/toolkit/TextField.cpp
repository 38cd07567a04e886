#include "nb/ui/toolkit/TextField.h"

#include "nb/ui/toolkit/Window.h"

namespace nb::ui {

TextField::TextField(const Rect& frame) : View(frame) { setBackgroundColor(Color::white()); }

TextField::~TextField() {
  // A window must not keep pointing at a field that is gone.
  if (Window* w = window(); w != nullptr && w->firstResponder() == this) {
    w->setFirstResponder(nullptr);
  }
}

bool TextField::becomeFirstResponder() {
  Window* w = window();
  if (w == nullptr) return false;
  w->setFirstResponder(this);
  setNeedsDisplay();
  return true;
}

bool TextField::resignFirstResponder() {
  if (Window* w = window(); w != nullptr && w->firstResponder() == this) {
    w->setFirstResponder(nullptr);
    setNeedsDisplay();
  }
  return true;
}

bool TextField::isFirstResponder() {
  Window* w = window();
  return w != nullptr && w->firstResponder() == this;
}

void TextField::insertText(const std::string& utf8) {
  text_ += utf8;
  setNeedsDisplay();
}

void TextField::deleteBackward() {
  if (text_.empty()) return;
  std::size_t end = text_.size() - 1;
  while (end > 0 && (static_cast<unsigned char>(text_[end]) & 0xC0) == 0x80) --end;
  text_.erase(end);
  setNeedsDisplay();
}

bool TextField::handleTap(Point) {
  becomeFirstResponder();
  return true;
}

void TextField::drawRect(DrawingContext& context, const Rect&) {
  const Rect b = bounds();
  const bool focused = isFirstResponder();
  context.setStrokeColor(focused ? Color{0.16, 0.45, 0.85, 1} : Color::grey(0.7, 1));
  context.setLineWidth(focused ? 2 : 1);
  context.beginPath();
  context.moveToPoint(0.5, 0.5);
  context.addLineToPoint(b.size.width - 0.5, 0.5);
  context.addLineToPoint(b.size.width - 0.5, b.size.height - 0.5);
  context.addLineToPoint(0.5, b.size.height - 0.5);
  context.closePath();
  context.strokePath();
  const Rect inner = b.insetBy(8, 0);
  if (text_.empty()) {
    context.drawText(placeholder_, font_, Color::grey(0.65, 1), inner, TextAlignment::kLeft);
    return;
  }
  std::string shown;
  if (secure_) {
    for (unsigned char c : text_) {
      if ((c & 0xC0) != 0x80) shown += "\u25CF";
    }
  } else {
    shown = text_;
  }
  context.drawText(shown, font_, Color::black(), inner, TextAlignment::kLeft);
}

}  // namespace nb::ui
