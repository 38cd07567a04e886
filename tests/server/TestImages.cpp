#include "tests/server/TestImages.h"

#include <cairo.h>
#include <jpeglib.h>

#include <cstdio>
#include <vector>

#include "server/CairoSurface.h"

namespace nb::test {

std::string makePng(int width, int height) {
  server::CairoSurface surface(width, height);
  cairo_set_source_rgb(surface.context(), 0.2, 0.6, 0.3);
  cairo_paint(surface.context());
  return surface.png();
}

std::string makeJpeg(int width, int height) {
  jpeg_compress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3, 0x80);
  while (info.next_scanline < info.image_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string out(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return out;
}

std::pair<int, int> pngSize(const std::string& png) {
  if (png.size() < 24 || png.compare(1, 3, "PNG") != 0) return {0, 0};
  const auto be32 = [&](std::size_t at) {
    return (static_cast<unsigned char>(png[at]) << 24) |
           (static_cast<unsigned char>(png[at + 1]) << 16) |
           (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
  };
  return {be32(16), be32(20)};
}

}  // namespace nb::test
