#include "nb/ui/toolkit/Image.h"

#include <cairo.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace nb::ui {

namespace {

struct PngReader {
  const std::string* bytes;
  std::size_t offset = 0;
};

cairo_status_t readPng(void* closure, unsigned char* out, unsigned int length) {
  auto* reader = static_cast<PngReader*>(closure);
  if (reader->bytes->size() - reader->offset < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(out, reader->bytes->data() + reader->offset, length);
  reader->offset += length;
  return CAIRO_STATUS_SUCCESS;
}

cairo_status_t writePngChunk(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

void jpegErrorExit(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

// Decodes into `out`; false on corrupt data. Kept free of objects with
// destructors between setjmp and longjmp.
bool decodeJpeg(const std::string& bytes, Image& out) {
  jpeg_decompress_struct info;
  JpegError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = jpegErrorExit;
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  out = Image(int(info.output_width), int(info.output_height));
  std::vector<unsigned char> row(info.output_width * 3);
  while (info.output_scanline < info.output_height) {
    unsigned char* rows[] = {row.data()};
    const int y = int(info.output_scanline);
    jpeg_read_scanlines(&info, rows, 1);
    auto* dest = reinterpret_cast<std::uint32_t*>(out.data() + y * out.stride());
    for (unsigned x = 0; x < info.output_width; ++x) {
      dest[x] = 0xff000000u | (std::uint32_t(row[3 * x]) << 16) |
                (std::uint32_t(row[3 * x + 1]) << 8) | row[3 * x + 2];
    }
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

Image::Image(int width, int height)
    : width_(width),
      height_(height),
      stride_(cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width)),
      pixels_(std::size_t(stride_) * height, 0) {}

Result<Image> Image::fromData(const std::string& bytes) {
  static const char kPng[] = "\x89PNG\r\n\x1a\n";
  if (bytes.compare(0, 8, kPng, 8) == 0) {
    PngReader reader{&bytes};
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(readPng, &reader);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(surface);
      return Status::corruption("the PNG image cannot be decoded");
    }
    Image image(cairo_image_surface_get_width(surface), cairo_image_surface_get_height(surface));
    cairo_surface_t* target = cairo_image_surface_create_for_data(
        image.data(), CAIRO_FORMAT_ARGB32, image.width(), image.height(), image.stride());
    cairo_t* cr = cairo_create(target);
    cairo_set_source_surface(cr, surface, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(target);
    cairo_surface_destroy(surface);
    return image;
  }
  if (bytes.size() > 3 && static_cast<unsigned char>(bytes[0]) == 0xff &&
      static_cast<unsigned char>(bytes[1]) == 0xd8) {
    Image image;
    if (!decodeJpeg(bytes, image)) return Status::corruption("the JPEG image cannot be decoded");
    return image;
  }
  return Status::invalidArgument("the data is neither a PNG nor a JPEG image");
}

Result<Image> Image::fromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Status::notFound("cannot open image file " + path);
  std::ostringstream content;
  content << in.rdbuf();
  Result<Image> image = fromData(content.str());
  if (!image.ok()) return Status(image.status().code(), path + ": " + image.status().message());
  return image;
}

Image::Rgba Image::pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return {0, 0, 0, 0};
  std::uint32_t v;
  std::memcpy(&v, pixels_.data() + y * stride_ + 4 * x, 4);
  const int a = int(v >> 24);
  auto un = [a](int c) { return a == 0 ? 0 : std::min(255, (c * 255 + a / 2) / a); };
  return {un(int((v >> 16) & 0xff)), un(int((v >> 8) & 0xff)), un(int(v & 0xff)), a};
}

Result<std::string> Image::pngData() const {
  if (empty()) return Status::invalidArgument("an empty image has no PNG form");
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      const_cast<unsigned char*>(data()), CAIRO_FORMAT_ARGB32, width_, height_, stride_);
  std::string out;
  const cairo_status_t status = cairo_surface_write_to_png_stream(surface, writePngChunk, &out);
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) return Status::internal(cairo_status_to_string(status));
  return out;
}

Status Image::writePng(const std::string& path) const {
  Result<std::string> png = pngData();
  if (!png.ok()) return png.status();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(png->data(), std::streamsize(png->size()));
  out.close();
  if (!out) return Status::ioError("cannot write " + path);
  return Status::OK();
}

}  // namespace nb::ui
