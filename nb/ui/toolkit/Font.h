// Font names a typeface, a size in points and a weight; measure() tells how
// much room one line of text takes in it. Text is laid out with pango over
// fontconfig, with a CJK-capable family first so that Chinese texts get real
// glyphs. One point is one pixel at scale 1. Measuring: main thread only.
#pragma once

#include <string>

#include "nb/ui/toolkit/Geometry.h"

namespace nb::ui {

struct Font {
  std::string family;  // a fontconfig family list, "WenQuanYi Micro Hei, Sans" by default
  double pointSize = 17;
  bool bold = false;

  static Font systemFontOfSize(double size);
  static Font boldSystemFontOfSize(double size);

  // The size of `text` set on one line in this font (no wrapping).
  Size measure(const std::string& text) const;
  // The size of `text` wrapped into lines of at most `width` points.
  Size measure(const std::string& text, double width) const;
  // How many characters of `text` no installed font can draw (they would show
  // as boxes); 0 when every character has a glyph.
  int missingGlyphCount(const std::string& text) const;

  friend bool operator==(const Font&, const Font&) = default;
};

}  // namespace nb::ui
