#include "server/CairoSurface.h"

#include <cairo.h>

namespace nb::server {
namespace {

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

CairoSurface::CairoSurface(int width, int height)
    : surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height)) {}

CairoSurface::~CairoSurface() {
  if (cr_) cairo_destroy(cr_);
  cairo_surface_destroy(surface_);
}

bool CairoSurface::ok() const { return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS; }
int CairoSurface::width() const { return cairo_image_surface_get_width(surface_); }
int CairoSurface::height() const { return cairo_image_surface_get_height(surface_); }

cairo_t* CairoSurface::context() {
  if (!cr_) cr_ = cairo_create(surface_);
  return cr_;
}

std::string CairoSurface::png() {
  std::string out;
  if (cr_) cairo_surface_flush(surface_);
  if (cairo_surface_write_to_png_stream(surface_, appendTo, &out) != CAIRO_STATUS_SUCCESS) {
    out.clear();
  }
  return out;
}

}  // namespace nb::server
