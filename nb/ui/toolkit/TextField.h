// TextField is a one-line text input: text (UTF-8), placeholder, secure entry
// (drawn as dots), the keyboard focus of its window, a caret and a selection
// (byte offsets on character boundaries), text being composed by an input
// method, and an action for the Return key. The text scrolls sideways to keep
// the caret in view. Typing, caret motion and the clipboard's text arrive
// from the window backend, which sends them to its window's first responder.
// Main thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "nb/ui/toolkit/View.h"

namespace nb::ui {

class TextField : public View {
 public:
  explicit TextField(const Rect& frame = {});
  ~TextField() override;

  const std::string& text() const { return text_; }
  // Replaces the text; the caret goes to its end, nothing is selected.
  void setText(const std::string& text);
  const std::string& placeholder() const { return placeholder_; }
  void setPlaceholder(const std::string& p) { placeholder_ = p, setNeedsDisplay(); }
  bool isSecureTextEntry() const { return secure_; }
  void setSecureTextEntry(bool on) { secure_ = on, setNeedsDisplay(); }
  const Font& font() const { return font_; }
  void setFont(const Font& f) { font_ = f, setNeedsDisplay(); }

  // Takes the focus of the window it is in; false outside a window.
  bool becomeFirstResponder();
  // Gives up the focus if it has it (dropping any composition); true.
  bool resignFirstResponder();
  bool isFirstResponder();

  // The Return key: runs the action (a screen's submit) when one is set;
  // false when there is none.
  void setReturnAction(std::function<void()> action) { returnAction_ = std::move(action); }
  bool pressReturn();

  // Editing at the caret, as a keyboard does: typed text replaces the
  // selection; the deletions remove the selection, else one character.
  void insertText(const std::string& utf8);
  void deleteBackward();
  void deleteForward();

  enum class Motion { kLeft, kRight, kHome, kEnd };
  // Moves the caret; with `extend` (Shift held) the selection grows from its
  // anchor, without it a selection collapses to the side moved towards.
  void moveCaret(Motion motion, bool extend);
  void selectAll();
  // The caret at the character boundary nearest to `p` (bounds coordinates);
  // with `extend` the selection's anchor stays (a mouse drag).
  void setCaretAtPoint(Point p, bool extend);
  std::size_t caret() const { return caret_; }
  // The selection's fixed end; equal to caret() when nothing is selected.
  std::size_t selectionAnchor() const { return anchor_; }
  std::string selectedText() const;

  // Text for the clipboard: the selection, but nothing from a password field
  // (nothing either when no text is selected). Cut also removes it.
  std::optional<std::string> copySelection() const;
  std::optional<std::string> cutSelection();

  // Text an input method is composing: drawn underlined at the caret, not yet
  // part of text(). Empty ends the composition.
  void setMarkedText(const std::string& utf8);
  const std::string& markedText() const { return marked_; }
  // The caret's rectangle (after the composition) in bounds coordinates, where
  // an input method puts its candidate list.
  Rect caretRect();
  // The caret's blink phase, set by the window host; the caret shows while
  // the field has the focus and this is on (the default).
  void setCaretVisible(bool on);

  bool handleTap(Point p) override;
  void drawRect(DrawingContext& context, const Rect& rect) override;

 private:
  struct Shown;
  Shown shown() const;
  void replaceSelection(const std::string& utf8);
  std::size_t characterBefore(std::size_t offset) const;
  std::size_t characterAfter(std::size_t offset) const;
  Rect textArea() const;
  // Scrolls so that shown-text x positions stay in the text area.
  void keepCaretVisible(double caretX, double textWidth);

  std::string text_;
  std::string placeholder_;
  std::string marked_;
  std::size_t caret_ = 0;
  std::size_t anchor_ = 0;
  double scrollX_ = 0;
  bool caretVisible_ = true;
  bool secure_ = false;
  Font font_ = Font::systemFontOfSize(16);
  std::function<void()> returnAction_;
};

}  // namespace nb::ui
