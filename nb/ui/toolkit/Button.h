// Button is a tappable view with a title; a completed tap calls its action.
// Main thread only. The action may release the button's owner: the button
// keeps itself alive while the action runs.
#pragma once

#include <functional>
#include <string>

#include "nb/ui/toolkit/View.h"

namespace nb::ui {

class Button : public View {
 public:
  explicit Button(const Rect& frame = {});

  const std::string& title() const { return title_; }
  void setTitle(const std::string& t) { title_ = t, setNeedsDisplay(); }
  Color titleColor() const { return titleColor_; }
  void setTitleColor(Color c) { titleColor_ = c, setNeedsDisplay(); }
  const Font& font() const { return font_; }
  void setFont(const Font& f) { font_ = f, setNeedsDisplay(); }
  void setAction(std::function<void()> action) { action_ = std::move(action); }

  // Runs the action as a tap would.
  void sendActions();
  bool handleTap(Point p) override;
  void drawRect(DrawingContext& context, const Rect& rect) override;

 private:
  std::string title_;
  Color titleColor_ = Color::white();
  Font font_ = Font::boldSystemFontOfSize(16);
  std::function<void()> action_;
};

}  // namespace nb::ui
