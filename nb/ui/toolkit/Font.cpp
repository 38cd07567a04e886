#include "nb/ui/toolkit/Font.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include "nb/ui/toolkit/TextLayout.h"

namespace nb::ui {

namespace {
constexpr const char* kFamily = "WenQuanYi Micro Hei, Noto Sans CJK SC, Sans";
}

Font Font::systemFontOfSize(double size) { return Font{kFamily, size, false}; }
Font Font::boldSystemFontOfSize(double size) { return Font{kFamily, size, true}; }

Size Font::measure(const std::string& text) const { return measure(text, -1); }

Size Font::measure(const std::string& text, double width) const {
  PangoLayout* layout = internal::makeTextLayout(nullptr, text, *this);
  if (width >= 0) {
    pango_layout_set_width(layout, int(width * PANGO_SCALE));
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  }
  PangoRectangle logical{};
  pango_layout_get_extents(layout, nullptr, &logical);
  g_object_unref(layout);
  return {std::ceil(double(logical.width) / PANGO_SCALE),
          std::ceil(double(logical.height) / PANGO_SCALE)};
}

int Font::missingGlyphCount(const std::string& text) const {
  PangoLayout* layout = internal::makeTextLayout(nullptr, text, *this);
  const int missing = pango_layout_get_unknown_glyphs_count(layout);
  g_object_unref(layout);
  return missing;
}

namespace internal {

namespace {
void configure(PangoContext* context) {
  pango_cairo_context_set_resolution(context, 72.0);
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  pango_cairo_context_set_font_options(context, options);
  cairo_font_options_destroy(options);
}
}  // namespace

PangoLayout* makeTextLayout(cairo_t* cr, const std::string& text, const Font& font) {
  PangoLayout* layout;
  if (cr != nullptr) {
    layout = pango_cairo_create_layout(cr);
    configure(pango_layout_get_context(layout));
    pango_layout_context_changed(layout);
  } else {
    // One measuring context for the process; the toolkit measures on the main thread only.
    static PangoContext* context = [] {
      PangoContext* c = pango_font_map_create_context(pango_cairo_font_map_get_default());
      configure(c);
      return c;
    }();
    layout = pango_layout_new(context);
  }
  PangoFontDescription* desc = pango_font_description_from_string(font.family.c_str());
  pango_font_description_set_absolute_size(desc, font.pointSize * PANGO_SCALE);
  pango_font_description_set_weight(desc, font.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_layout_set_font_description(layout, desc);
  pango_font_description_free(desc);
  pango_layout_set_text(layout, text.data(), int(text.size()));
  return layout;
}

}  // namespace internal
}  // namespace nb::ui
