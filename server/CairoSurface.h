// CairoSurface: owns one cairo image surface (and, on demand, a drawing
// context on it), and writes it as PNG. One thread at a time.
#pragma once

#include <string>

typedef struct _cairo_surface cairo_surface_t;
typedef struct _cairo cairo_t;

namespace nb::server {

class CairoSurface {
 public:
  // A new ARGB image of `width` x `height`, cleared to transparent.
  CairoSurface(int width, int height);
  // Takes ownership of `surface` (may be in an error state).
  explicit CairoSurface(cairo_surface_t* surface) : surface_(surface) {}
  ~CairoSurface();
  CairoSurface(const CairoSurface&) = delete;
  CairoSurface& operator=(const CairoSurface&) = delete;

  bool ok() const;
  int width() const;
  int height() const;
  cairo_surface_t* get() const { return surface_; }
  // The drawing context, made on first use and owned by this object.
  cairo_t* context();
  // The image as PNG bytes; empty on failure.
  std::string png();

 private:
  cairo_surface_t* surface_;
  cairo_t* cr_ = nullptr;
};

}  // namespace nb::server
