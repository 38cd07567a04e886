// WindowHost shows a toolkit Window in a real, resizable window on the desktop
// (SDL2). The view tree is drawn through cairo at the window's pixel density,
// and only when something in it changed or an animation runs; a new window
// size lays the tree out again through the autoresizing masks. Mouse clicks
// become taps, a drag selects text; typed text (any Unicode, with the input
// method's composition shown at the caret), the editing keys, Tab/Shift+Tab,
// Return and the clipboard's Ctrl+A/C/X/V go to the focused text field, whose
// caret blinks while the window has the focus. Main thread only; it runs the
// main run loop.
//
// Environment: NB_WINDOW_SCALE (else GDK_SCALE) multiplies the pixels per
// point on desktops that do not tell; NB_WINDOW_SCREENSHOT=FILE saves the
// first frame there as a PNG, and the frame on screen again at each SIGUSR1;
// NB_WINDOW_TIMING=FILE appends, for each frame that answers a key press, the
// milliseconds from reading the key to the frame's presentation.
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
  // Opens a window of `window`'s size in points. Fails with kUnavailable when
  // there is no display (or no video driver).
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
  std::unique_ptr<Impl> impl_;
};

}  // namespace nb::ui
