#include "nb/ui/toolkit/TextField.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>

#include "nb/ui/toolkit/TextLayout.h"
#include "nb/ui/toolkit/Window.h"

namespace nb::ui {

namespace {

constexpr const char* kDot = "\u25CF";  // stands for each character of a password
constexpr std::size_t kDotBytes = 3;
constexpr double kCaretWidth = 1.5;

bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t characterCount(std::string_view s) {
  return std::size_t(std::count_if(s.begin(), s.end(), [](char c) { return !isContinuation(c); }));
}

std::string dots(std::string_view s) {
  std::string out;
  for (std::size_t i = characterCount(s); i > 0; --i) out += kDot;
  return out;
}

// The x of a byte index of a layout's text, in points.
double xOfIndex(PangoLayout* layout, std::size_t index) {
  PangoRectangle pos{};
  pango_layout_index_to_pos(layout, int(index), &pos);
  return double(pos.x) / PANGO_SCALE;
}

Size logicalSize(PangoLayout* layout) {
  PangoRectangle logical{};
  pango_layout_get_extents(layout, nullptr, &logical);
  return {double(logical.width) / PANGO_SCALE, double(logical.height) / PANGO_SCALE};
}

}  // namespace

// What the field draws: the text (dots for a password) with the composition
// inserted at the caret, and the offsets that map the text onto it.
struct TextField::Shown {
  std::string text;
  std::size_t markedBegin = 0;  // the composition's byte range in `text`
  std::size_t markedEnd = 0;
  bool secure = false;
  std::size_t caret = 0;

  // Where an offset of the field's text lands in the shown text.
  std::size_t fromTextOffset(const std::string& source, std::size_t offset) const {
    std::size_t shown =
        secure ? characterCount(std::string_view(source).substr(0, offset)) * kDotBytes : offset;
    if (offset > caret) shown += markedEnd - markedBegin;
    return shown;
  }
  // The field's text offset of a shown offset; inside the composition, the caret.
  std::size_t toTextOffset(const std::string& source, std::size_t shown) const {
    if (shown > markedBegin && shown < markedEnd) return caret;
    if (shown >= markedEnd) shown -= markedEnd - markedBegin;
    if (!secure) return std::min(shown, source.size());
    std::size_t characters = shown / kDotBytes, offset = 0;
    while (offset < source.size() && characters > 0) {
      offset = offset + 1;
      while (offset < source.size() && isContinuation(source[offset])) ++offset;
      --characters;
    }
    return offset;
  }
};

TextField::TextField(const Rect& frame) : View(frame) { setBackgroundColor(Color::white()); }

TextField::~TextField() {
  // A window must not keep pointing at a field that is gone.
  if (Window* w = window(); w != nullptr && w->firstResponder() == this) {
    w->setFirstResponder(nullptr);
  }
}

void TextField::setText(const std::string& text) {
  text_ = text;
  caret_ = anchor_ = text_.size();
  marked_.clear();
  setNeedsDisplay();
}

bool TextField::becomeFirstResponder() {
  Window* w = window();
  if (w == nullptr) return false;
  if (w->firstResponder() != this) {
    if (auto* other = dynamic_cast<TextField*>(w->firstResponder())) other->resignFirstResponder();
  }
  w->setFirstResponder(this);
  setNeedsDisplay();
  return true;
}

bool TextField::resignFirstResponder() {
  if (Window* w = window(); w != nullptr && w->firstResponder() == this) {
    w->setFirstResponder(nullptr);
    marked_.clear();
    setNeedsDisplay();
  }
  return true;
}

bool TextField::isFirstResponder() {
  Window* w = window();
  return w != nullptr && w->firstResponder() == this;
}

bool TextField::pressReturn() {
  if (!returnAction_) return false;
  auto keep = shared_from_this();  // the action may take the screen away
  auto action = returnAction_;
  action();
  return true;
}

std::size_t TextField::characterBefore(std::size_t offset) const {
  if (offset == 0) return 0;
  --offset;
  while (offset > 0 && isContinuation(text_[offset])) --offset;
  return offset;
}

std::size_t TextField::characterAfter(std::size_t offset) const {
  if (offset >= text_.size()) return text_.size();
  ++offset;
  while (offset < text_.size() && isContinuation(text_[offset])) ++offset;
  return offset;
}

void TextField::replaceSelection(const std::string& utf8) {
  const std::size_t begin = std::min(caret_, anchor_), end = std::max(caret_, anchor_);
  text_.replace(begin, end - begin, utf8);
  caret_ = anchor_ = begin + utf8.size();
  setNeedsDisplay();
}

void TextField::insertText(const std::string& utf8) {
  marked_.clear();
  replaceSelection(utf8);
}

void TextField::deleteBackward() {
  if (caret_ == anchor_) anchor_ = characterBefore(caret_);
  replaceSelection("");
}

void TextField::deleteForward() {
  if (caret_ == anchor_) anchor_ = characterAfter(caret_);
  replaceSelection("");
}

void TextField::moveCaret(Motion motion, bool extend) {
  const bool selected = caret_ != anchor_;
  std::size_t to = caret_;
  switch (motion) {
    case Motion::kLeft:
      to = selected && !extend ? std::min(caret_, anchor_) : characterBefore(caret_);
      break;
    case Motion::kRight:
      to = selected && !extend ? std::max(caret_, anchor_) : characterAfter(caret_);
      break;
    case Motion::kHome:
      to = 0;
      break;
    case Motion::kEnd:
      to = text_.size();
      break;
  }
  caret_ = to;
  if (!extend) anchor_ = to;
  setNeedsDisplay();
}

void TextField::selectAll() {
  anchor_ = 0;
  caret_ = text_.size();
  setNeedsDisplay();
}

std::string TextField::selectedText() const {
  const std::size_t begin = std::min(caret_, anchor_), end = std::max(caret_, anchor_);
  return text_.substr(begin, end - begin);
}

std::optional<std::string> TextField::copySelection() const {
  if (secure_ || caret_ == anchor_) return std::nullopt;
  return selectedText();
}

std::optional<std::string> TextField::cutSelection() {
  std::optional<std::string> taken = copySelection();
  if (taken) replaceSelection("");
  return taken;
}

void TextField::setMarkedText(const std::string& utf8) {
  marked_ = utf8;
  setNeedsDisplay();
}

void TextField::setCaretVisible(bool on) {
  if (caretVisible_ == on) return;
  caretVisible_ = on;
  if (isFirstResponder()) setNeedsDisplay();
}

TextField::Shown TextField::shown() const {
  Shown s;
  s.secure = secure_;
  s.caret = caret_;
  const std::string before = text_.substr(0, caret_), after = text_.substr(caret_);
  const std::string marked = secure_ ? dots(marked_) : marked_;
  s.text = secure_ ? dots(before) : before;
  s.markedBegin = s.text.size();
  s.text += marked;
  s.markedEnd = s.text.size();
  s.text += secure_ ? dots(after) : after;
  return s;
}

Rect TextField::textArea() const { return bounds().insetBy(8, 0); }

void TextField::keepCaretVisible(double caretX, double textWidth) {
  const double room = std::max(0.0, textArea().size.width - kCaretWidth);
  if (caretX - scrollX_ > room) scrollX_ = caretX - room;
  if (caretX < scrollX_) scrollX_ = caretX;
  // No empty room after the text while there is text out of view on the left.
  scrollX_ = std::max(0.0, std::min(scrollX_, textWidth - room));
}

Rect TextField::caretRect() {
  const Shown s = shown();
  PangoLayout* layout = internal::makeTextLayout(nullptr, s.text, font_);
  const double caretX = xOfIndex(layout, s.markedEnd);
  const Size size = logicalSize(layout);
  g_object_unref(layout);
  keepCaretVisible(caretX, size.width);
  const Rect area = textArea();
  return {area.minX() - scrollX_ + caretX, area.midY() - size.height / 2, kCaretWidth, size.height};
}

void TextField::setCaretAtPoint(Point p, bool extend) {
  const Shown s = shown();
  PangoLayout* layout = internal::makeTextLayout(nullptr, s.text, font_);
  const double x = p.x - textArea().minX() + scrollX_;
  int index = 0, trailing = 0;
  pango_layout_xy_to_index(layout, int(x * PANGO_SCALE), 0, &index, &trailing);
  const char* start = pango_layout_get_text(layout);
  const char* at = start + index;
  for (; trailing > 0 && *at != '\0'; --trailing) at = g_utf8_next_char(at);
  const std::size_t shownIndex = std::size_t(at - start);
  g_object_unref(layout);
  caret_ = s.toTextOffset(text_, shownIndex);
  if (!extend) anchor_ = caret_;
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
  const Rect area = textArea();
  if (text_.empty() && marked_.empty()) {
    context.drawText(placeholder_, font_, Color::grey(0.65, 1), area, TextAlignment::kLeft);
  }

  cairo_t* cr = context.cairo();
  const Shown s = shown();
  PangoLayout* layout = internal::makeTextLayout(cr, s.text, font_);
  if (s.markedEnd > s.markedBegin) {
    PangoAttrList* attrs = pango_attr_list_new();
    PangoAttribute* underline = pango_attr_underline_new(PANGO_UNDERLINE_SINGLE);
    underline->start_index = unsigned(s.markedBegin);
    underline->end_index = unsigned(s.markedEnd);
    pango_attr_list_insert(attrs, underline);
    pango_layout_set_attributes(layout, attrs);
    pango_attr_list_unref(attrs);
  }
  const Size size = logicalSize(layout);
  const double caretX = xOfIndex(layout, s.markedEnd);
  keepCaretVisible(caretX, size.width);
  const double x0 = area.minX() - scrollX_, y0 = area.midY() - size.height / 2;

  cairo_save(cr);
  cairo_rectangle(cr, area.minX() - 1, 0, area.size.width + 2, b.size.height);
  cairo_clip(cr);
  if (caret_ != anchor_) {
    const double from = xOfIndex(layout, s.fromTextOffset(text_, std::min(caret_, anchor_)));
    const double to = xOfIndex(layout, s.fromTextOffset(text_, std::max(caret_, anchor_)));
    context.setFillColor(focused ? Color{0.70, 0.83, 1.0, 1} : Color::grey(0.86, 1));
    context.fillRect(Rect(x0 + from, y0, to - from, size.height));
  }
  cairo_move_to(cr, x0, y0);
  cairo_set_source_rgba(cr, 0, 0, 0, 1);
  pango_cairo_show_layout(cr, layout);
  if (focused && caretVisible_) {
    context.setFillColor(Color{0.1, 0.3, 0.8, 1});
    context.fillRect(Rect(x0 + caretX, y0, kCaretWidth, size.height));
  }
  cairo_restore(cr);
  g_object_unref(layout);
}

}  // namespace nb::ui
