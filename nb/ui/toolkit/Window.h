// Window is the root of a view tree that is shown on a screen (or rendered
// off screen). Besides being a view it knows which view has the keyboard focus.
// Main thread only.
#pragma once

#include <memory>

#include "nb/ui/toolkit/View.h"

namespace nb::ui {

class Window : public View {
 public:
  explicit Window(const Rect& frame) : View(frame) { setBackgroundColor(Color::white()); }
  bool isWindow() const override { return true; }

  // The view that takes typed text, or null. Not owned: a responder that
  // leaves the window resigns first.
  View* firstResponder() const { return firstResponder_; }
  void setFirstResponder(View* view) { firstResponder_ = view; }

 private:
  View* firstResponder_ = nullptr;
};

}  // namespace nb::ui
