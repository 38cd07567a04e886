#include "nb/ui/toolkit/Label.h"

namespace nb::ui {

Label::Label(const Rect& frame) : View(frame) {}

void Label::drawRect(DrawingContext& context, const Rect&) {
  context.drawText(text_, font_, textColor_, bounds(), alignment_);
}

}  // namespace nb::ui
