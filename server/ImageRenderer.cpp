#include "server/ImageRenderer.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "server/CairoSurface.h"

namespace nb::server {
namespace {

struct FileClose {
  void operator()(FILE* f) const { std::fclose(f); }
};

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

void onJpegError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

// Decodes a JPEG into a new surface; nullptr when the file is not a JPEG we
// can read or is larger than the limit.
std::unique_ptr<CairoSurface> decodeJpeg(FILE* file, bool* tooLarge) {
  jpeg_decompress_struct info;
  JpegError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = onJpegError;
  // Declared before setjmp, so a long jump never skips its lifetime.
  std::unique_ptr<CairoSurface> surface;
  std::vector<unsigned char> row;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return nullptr;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  if (static_cast<long>(info.image_width) * info.image_height > ImageRenderer::kMaxPixels) {
    *tooLarge = true;
    jpeg_destroy_decompress(&info);
    return nullptr;
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  surface = std::make_unique<CairoSurface>(static_cast<int>(info.output_width),
                                           static_cast<int>(info.output_height));
  if (!surface->ok()) {
    jpeg_destroy_decompress(&info);
    return nullptr;
  }
  cairo_surface_flush(surface->get());
  unsigned char* pixels = cairo_image_surface_get_data(surface->get());
  const int stride = cairo_image_surface_get_stride(surface->get());
  row.resize(static_cast<std::size_t>(info.output_width) * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {row.data()};
    const unsigned y = info.output_scanline;
    jpeg_read_scanlines(&info, rows, 1);
    auto* out = reinterpret_cast<std::uint32_t*>(pixels + static_cast<std::size_t>(y) * stride);
    for (unsigned x = 0; x < info.output_width; ++x) {
      out[x] = 0xFF000000u | (std::uint32_t{row[x * 3]} << 16) |
               (std::uint32_t{row[x * 3 + 1]} << 8) | row[x * 3 + 2];
    }
  }
  cairo_surface_mark_dirty(surface->get());
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return surface;
}

}  // namespace

std::string ImageRenderer::verificationImage(const std::string& code) {
  const int width = 40 + 28 * static_cast<int>(code.size());
  CairoSurface surface(width, 64);
  cairo_t* cr = surface.context();
  cairo_set_source_rgb(cr, 0.95, 0.95, 0.9);
  cairo_paint(cr);
  // A few strokes so that the code is an image and not plain text to copy.
  cairo_set_line_width(cr, 1.5);
  for (int i = 0; i < 6; ++i) {
    cairo_set_source_rgba(cr, 0.2 + 0.1 * i, 0.4, 0.7 - 0.1 * i, 0.5);
    cairo_move_to(cr, 0, 8 + i * 10);
    cairo_curve_to(cr, width / 3.0, 64 - i * 9, 2 * width / 3.0, i * 11, width, 30 + i * 5);
    cairo_stroke(cr);
  }
  cairo_select_font_face(cr, "monospace", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 38);
  for (std::size_t i = 0; i < code.size(); ++i) {
    cairo_save(cr);
    cairo_move_to(cr, 20 + 28.0 * static_cast<double>(i), 46);
    cairo_rotate(cr, (i % 2 ? 1 : -1) * 0.12);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.25);
    const char glyph[2] = {code[i], '\0'};
    cairo_show_text(cr, glyph);
    cairo_restore(cr);
  }
  return surface.png();
}

void ImageRenderer::releaseCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}

ImageRenderer::Thumbnail ImageRenderer::thumbnail(const std::string& file, int width, int height,
                                                  std::string* png) {
  unsigned char magic[24] = {};
  {
    std::unique_ptr<FILE, FileClose> f(std::fopen(file.c_str(), "rb"));
    if (!f || std::fread(magic, 1, sizeof magic, f.get()) < 3) return Thumbnail::kNotAnImage;
  }
  // A PNG states its size in its first chunk; refuse a huge one before decoding.
  const auto be32 = [&](int at) {
    return (long{magic[at]} << 24) | (long{magic[at + 1]} << 16) | (long{magic[at + 2]} << 8) |
           long{magic[at + 3]};
  };
  std::unique_ptr<CairoSurface> source;
  bool tooLarge = false;
  if (magic[0] == 0x89 && magic[1] == 'P' && magic[2] == 'N' && magic[3] == 'G') {
    // Each side may hold up to 2^32 - 1: bound both before multiplying.
    const long declaredWidth = be32(16), declaredHeight = be32(20);
    if (declaredWidth > kMaxPixels || declaredHeight > kMaxPixels ||
        declaredWidth * declaredHeight > kMaxPixels) {
      return Thumbnail::kTooLarge;
    }
    source = std::make_unique<CairoSurface>(cairo_image_surface_create_from_png(file.c_str()));
  } else if (magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) {
    std::unique_ptr<FILE, FileClose> f(std::fopen(file.c_str(), "rb"));
    if (f) source = decodeJpeg(f.get(), &tooLarge);
  }
  if (tooLarge) return Thumbnail::kTooLarge;
  if (!source || !source->ok()) return Thumbnail::kNotAnImage;

  const double scale = std::min({1.0, static_cast<double>(width) / source->width(),
                                 static_cast<double>(height) / source->height()});
  const int w = std::max(1, static_cast<int>(source->width() * scale + 0.5));
  const int h = std::max(1, static_cast<int>(source->height() * scale + 0.5));
  CairoSurface target(w, h);
  cairo_t* cr = target.context();
  cairo_scale(cr, static_cast<double>(w) / source->width(),
              static_cast<double>(h) / source->height());
  cairo_set_source_surface(cr, source->get(), 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_paint(cr);
  *png = target.png();
  return png->empty() ? Thumbnail::kNotAnImage : Thumbnail::kOk;
}

}  // namespace nb::server
