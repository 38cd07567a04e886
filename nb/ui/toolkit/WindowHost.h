// WindowHost shows a toolkit Window in a real window on the desktop (SDL2):
// the view tree is rendered through cairo at every change, mouse clicks
// become taps, typed text (any Unicode, through the platform's text input)
// goes to the focused text field, Backspace deletes, Tab moves the focus to
// the next text field. Main thread only; it runs the main run loop.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "nb/Status.h"
#include "nb/ui/toolkit/Image.h"
#include "nb/ui/toolkit/Window.h"

namespace nb::ui {

class WindowHost {
 public:
  // Opens a window of `window`'s size. Fails with kUnavailable when there is
  // no display (or no video driver).
  static Result<std::unique_ptr<WindowHost>> open(std::shared_ptr<Window> window,
                                                  const std::string& title);
  ~WindowHost();
  WindowHost(const WindowHost&) = delete;
  WindowHost& operator=(const WindowHost&) = delete;

  // Runs the run loop, handling input and redrawing, until `done` holds
  // (true) or the user closes the window (false).
  bool runUntil(const std::function<bool()>& done);
  // The pixels the window shows now, read back from the screen.
  Result<Image> screenshot();

 private:
  struct Impl;
  explicit WindowHost(std::unique_ptr<Impl> impl);
  void pumpEvents();
  void present();
  std::unique_ptr<Impl> impl_;
};

}  // namespace nb::ui
