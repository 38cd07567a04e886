// Window is the root of a view tree that is shown on a screen (or rendered
// off screen). It holds its root view controller and knows which view has
// the keyboard focus. Main thread only.
#pragma once

#include <memory>

#include "nb/ui/toolkit/View.h"

namespace nb::ui {

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

  // A tap at `p` in window coordinates: the deepest view under it (or its
  // nearest ancestor that handles taps) handles it. A tap elsewhere than the
  // focused field takes the focus away. False when nothing handled it.
  bool sendTap(Point p);

 private:
  std::shared_ptr<ViewController> root_;
  View* firstResponder_ = nullptr;
};

}  // namespace nb::ui
