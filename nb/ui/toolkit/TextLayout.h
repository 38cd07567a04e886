// Internal to the toolkit: pango layouts at 72 dots per inch (one point is one
// pixel) with metric hinting off, so that measuring and drawing agree.
#pragma once

#include <string>

#include "nb/ui/toolkit/Font.h"

typedef struct _cairo cairo_t;
typedef struct _PangoLayout PangoLayout;

namespace nb::ui::internal {

// A new layout for `text` in `font`, for drawing into `cr`, or for measuring
// when `cr` is null. The caller releases it with g_object_unref.
PangoLayout* makeTextLayout(cairo_t* cr, const std::string& text, const Font& font);

}  // namespace nb::ui::internal
