// TextField is a one-line text input: text (UTF-8), placeholder, secure entry
// (drawn as dots), and the keyboard focus of its window. A tap focuses it;
// typed text arrives through insertText and deleteBackward (the window
// backend sends them to the window's first responder). Main thread only.
#pragma once

#include <string>

#include "nb/ui/toolkit/View.h"

namespace nb::ui {

class TextField : public View {
 public:
  explicit TextField(const Rect& frame = {});
  ~TextField() override;

  const std::string& text() const { return text_; }
  void setText(const std::string& text) { text_ = text, setNeedsDisplay(); }
  const std::string& placeholder() const { return placeholder_; }
  void setPlaceholder(const std::string& p) { placeholder_ = p, setNeedsDisplay(); }
  bool isSecureTextEntry() const { return secure_; }
  void setSecureTextEntry(bool on) { secure_ = on, setNeedsDisplay(); }
  const Font& font() const { return font_; }
  void setFont(const Font& f) { font_ = f, setNeedsDisplay(); }

  // Takes the focus of the window it is in; false outside a window.
  bool becomeFirstResponder();
  // Gives up the focus if it has it; true.
  bool resignFirstResponder();
  bool isFirstResponder();

  // Editing at the end of the text, as a keyboard does.
  void insertText(const std::string& utf8);
  // Removes the last character (a whole UTF-8 sequence).
  void deleteBackward();

  bool handleTap(Point p) override;
  void drawRect(DrawingContext& context, const Rect& rect) override;

 private:
  std::string text_;
  std::string placeholder_;
  bool secure_ = false;
  Font font_ = Font::systemFontOfSize(16);
};

}  // namespace nb::ui
