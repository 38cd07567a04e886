#include "nb/ui/toolkit/DrawingContext.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <cmath>

#include "nb/ui/toolkit/Image.h"
#include "nb/ui/toolkit/TextLayout.h"

namespace nb::ui {

void DrawingContext::setSource(Color c) { cairo_set_source_rgba(cr_, c.r, c.g, c.b, c.a); }

void DrawingContext::fillRect(const Rect& r) {
  cairo_new_path(cr_);
  cairo_rectangle(cr_, r.minX(), r.minY(), r.size.width, r.size.height);
  setSource(fill_);
  cairo_fill(cr_);
}

namespace {
void ellipsePath(cairo_t* cr, const Rect& r) {
  cairo_new_path(cr);
  if (r.size.width <= 0 || r.size.height <= 0) return;
  cairo_save(cr);
  cairo_translate(cr, r.midX(), r.midY());
  cairo_scale(cr, r.size.width / 2, r.size.height / 2);
  cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
  cairo_restore(cr);
}
}  // namespace

void DrawingContext::fillEllipseInRect(const Rect& r) {
  ellipsePath(cr_, r);
  setSource(fill_);
  cairo_fill(cr_);
}

void DrawingContext::strokeEllipseInRect(const Rect& r) {
  ellipsePath(cr_, r);
  setSource(stroke_);
  cairo_set_line_width(cr_, lineWidth_);
  cairo_stroke(cr_);
}

void DrawingContext::beginPath() { cairo_new_path(cr_); }
void DrawingContext::moveToPoint(double x, double y) { cairo_move_to(cr_, x, y); }
void DrawingContext::addLineToPoint(double x, double y) { cairo_line_to(cr_, x, y); }

void DrawingContext::addArc(double cx, double cy, double radius, double startAngle, double endAngle,
                            bool clockwise) {
  // In y-down coordinates cairo_arc runs with increasing angle, which is the
  // "not clockwise" flag of the toolkit's arcs.
  if (clockwise) {
    cairo_arc_negative(cr_, cx, cy, radius, startAngle, endAngle);
  } else {
    cairo_arc(cr_, cx, cy, radius, startAngle, endAngle);
  }
}

void DrawingContext::closePath() { cairo_close_path(cr_); }

void DrawingContext::fillPath() {
  setSource(fill_);
  cairo_fill(cr_);
}

void DrawingContext::strokePath() {
  setSource(stroke_);
  cairo_set_line_width(cr_, lineWidth_);
  cairo_stroke(cr_);
}

void DrawingContext::drawRadialGradient(Point centre, double startRadius, Color startColor,
                                        double endRadius, Color endColor) {
  cairo_pattern_t* pattern =
      cairo_pattern_create_radial(centre.x, centre.y, startRadius, centre.x, centre.y, endRadius);
  cairo_pattern_add_color_stop_rgba(pattern, 0.0, startColor.r, startColor.g, startColor.b,
                                    startColor.a);
  cairo_pattern_add_color_stop_rgba(pattern, 1.0, endColor.r, endColor.g, endColor.b, endColor.a);
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);  // end colour beyond the end circle
  cairo_set_source(cr_, pattern);
  cairo_paint(cr_);
  cairo_pattern_destroy(pattern);
}

void DrawingContext::drawText(const std::string& text, const Font& font, Color color,
                              const Rect& rect, TextAlignment alignment) {
  if (text.empty() || rect.size.width <= 0) return;
  PangoLayout* layout = internal::makeTextLayout(cr_, text, font);
  pango_layout_set_width(layout, int(rect.size.width * PANGO_SCALE));
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  pango_layout_set_height(layout, int(rect.size.height * PANGO_SCALE));
  pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
  pango_layout_set_alignment(layout, alignment == TextAlignment::kLeft    ? PANGO_ALIGN_LEFT
                                     : alignment == TextAlignment::kRight ? PANGO_ALIGN_RIGHT
                                                                          : PANGO_ALIGN_CENTER);
  PangoRectangle logical{};
  pango_layout_get_extents(layout, nullptr, &logical);
  const double height = double(logical.height) / PANGO_SCALE;
  cairo_save(cr_);
  cairo_move_to(cr_, rect.minX(), rect.minY() + (rect.size.height - height) / 2);
  setSource(color);
  pango_cairo_show_layout(cr_, layout);
  cairo_restore(cr_);
  g_object_unref(layout);
}

void DrawingContext::drawImage(const Image& image, const Rect& rect) {
  if (image.empty() || rect.size.width <= 0 || rect.size.height <= 0) return;
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      const_cast<unsigned char*>(image.data()), CAIRO_FORMAT_ARGB32, image.width(), image.height(),
      image.stride());
  cairo_save(cr_);
  cairo_translate(cr_, rect.minX(), rect.minY());
  cairo_scale(cr_, rect.size.width / image.width(), rect.size.height / image.height());
  cairo_set_source_surface(cr_, surface, 0, 0);
  cairo_paint(cr_);
  cairo_restore(cr_);
  cairo_surface_destroy(surface);
}

}  // namespace nb::ui
