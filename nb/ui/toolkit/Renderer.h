// Renderer draws a view tree through cairo as the screen would show it: each
// view at its centre, turned by its transform, with its alpha applied to the
// whole of it and its subviews, hidden views left out. Layout runs first.
// Main thread only.
#pragma once

#include <string>

#include "nb/Status.h"
#include "nb/ui/toolkit/Image.h"
#include "nb/ui/toolkit/View.h"

namespace nb::ui {

class Renderer {
 public:
  // The view (with its own alpha and transform) on a transparent canvas of
  // its bounds' size times `scale`.
  static Image render(View& view, double scale = 1.0);
  static Status renderToPng(View& view, const std::string& path, double scale = 1.0);
  // Draws `view` into `cr`, whose coordinates are the view's superview's.
  static void drawView(View& view, cairo_t* cr);
};

}  // namespace nb::ui
