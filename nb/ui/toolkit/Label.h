// Label draws text in its bounds: font, colour, alignment, vertically
// centred, wrapped onto a second line (and more) when its height has room for
// them, cut with an ellipsis where the text does not fit. sizeThatFits tells
// the room the text needs on one line. Main thread only.
#pragma once

#include <string>

#include "nb/ui/toolkit/View.h"

namespace nb::ui {

class Label : public View {
 public:
  explicit Label(const Rect& frame = {});

  const std::string& text() const { return text_; }
  void setText(const std::string& text) { text_ = text, setNeedsDisplay(); }
  const Font& font() const { return font_; }
  void setFont(const Font& font) { font_ = font, setNeedsDisplay(); }
  Color textColor() const { return textColor_; }
  void setTextColor(Color c) { textColor_ = c, setNeedsDisplay(); }
  TextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(TextAlignment a) { alignment_ = a, setNeedsDisplay(); }
  // Kept for callers that set it; the label never shrinks its font.
  bool adjustsFontSizeToFitWidth() const { return adjustsFontSize_; }
  void setAdjustsFontSizeToFitWidth(bool on) { adjustsFontSize_ = on; }

  Size sizeThatFits() const { return font_.measure(text_); }
  void drawRect(DrawingContext& context, const Rect& rect) override;

 private:
  std::string text_;
  Font font_ = Font::systemFontOfSize(17);
  Color textColor_ = Color::black();
  TextAlignment alignment_ = TextAlignment::kLeft;
  bool adjustsFontSize_ = false;
};

}  // namespace nb::ui
