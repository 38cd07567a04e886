// Window is the root of a view tree that is shown on a screen (or rendered
// off screen). It holds its root view controller and knows which view has
// the keyboard focus. Main thread only.
#pragma once

#include <memory>
#include <vector>

#include "nb/ui/toolkit/View.h"

namespace nb::ui {

class TextField;
class ViewController;

class Window : public View {
 public:
  explicit Window(const Rect& frame);
  ~Window() override;
  bool isWindow() const override { return true; }

  // Shows `controller`'s view filling the window (replacing an earlier root).
  void setRootViewController(std::shared_ptr<ViewController> controller);
  const std::shared_ptr<ViewController>& rootViewController() const { return root_; }

  // The view that takes typed text, or null. Not owned: a responder that
  // leaves the window resigns first.
  View* firstResponder() const { return firstResponder_; }
  void setFirstResponder(View* view) { firstResponder_ = view; }

  // The keyboard's way through the visible text fields, in drawing order:
  // the next one (the previous one when `backward`), wrapping around; the
  // first (last) when none has the focus. False when there is no field.
  bool focusNextField(bool backward);
  // Focuses the first visible field that holds no text, so that typing can
  // start at once; false (focus unchanged) when every field holds text.
  bool focusFirstEmptyField();

  // A tap at `p` in window coordinates: the deepest view under it (or its
  // nearest ancestor that handles taps) handles it. A tap elsewhere than the
  // focused field takes the focus away. False when nothing handled it.
  bool sendTap(Point p);

 private:
  std::vector<TextField*> visibleFields();
  std::shared_ptr<ViewController> root_;
  View* firstResponder_ = nullptr;
};

}  // namespace nb::ui
