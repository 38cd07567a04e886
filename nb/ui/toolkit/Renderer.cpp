#include "nb/ui/toolkit/Renderer.h"

#include <cairo.h>

#include <cmath>

namespace nb::ui {

void Renderer::drawView(View& view, cairo_t* cr) {
  if (view.isHidden() || view.alpha() <= 0) return;
  const Rect b = view.bounds();
  const AffineTransform& t = view.transform();
  cairo_save(cr);
  cairo_translate(cr, view.center().x, view.center().y);
  cairo_matrix_t m;
  cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
  cairo_transform(cr, &m);
  cairo_translate(cr, -b.size.width / 2 - b.origin.x, -b.size.height / 2 - b.origin.y);
  const bool group = view.alpha() < 1;
  if (group) cairo_push_group(cr);
  DrawingContext context(cr);
  if (view.backgroundColor().a > 0) {
    context.setFillColor(view.backgroundColor());
    context.fillRect(b);
  }
  cairo_save(cr);
  view.drawRect(context, b);
  cairo_restore(cr);
  view.clearNeedsDisplay();
  const auto subviews = view.subviews();  // drawing must not change the tree, but be safe
  for (auto& sub : subviews) drawView(*sub, cr);
  if (group) {
    cairo_pop_group_to_source(cr);
    cairo_paint_with_alpha(cr, view.alpha());
  }
  cairo_restore(cr);
}

Image Renderer::render(View& view, double scale) {
  view.layoutIfNeeded();
  const Rect b = view.bounds();
  Image image(std::max(1, int(std::lround(b.size.width * scale))),
              std::max(1, int(std::lround(b.size.height * scale))));
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      image.data(), CAIRO_FORMAT_ARGB32, image.width(), image.height(), image.stride());
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, scale, scale);
  // Place the view's centre at the canvas centre.
  cairo_translate(cr, b.size.width / 2 - view.center().x, b.size.height / 2 - view.center().y);
  drawView(view, cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  cairo_surface_destroy(surface);
  return image;
}

Status Renderer::renderToPng(View& view, const std::string& path, double scale) {
  return render(view, scale).writePng(path);
}

}  // namespace nb::ui
