// Image is a decoded bitmap: 32-bit pixels with premultiplied alpha, rows of
// `stride` bytes. It reads PNG and JPEG data, writes PNG, and answers pixel
// queries (for tests and for the window backend). A plain value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nb/Status.h"
#include "nb/ui/toolkit/Geometry.h"

namespace nb::ui {

class Image {
 public:
  Image() = default;
  // A transparent image of `width` × `height` pixels.
  Image(int width, int height);

  // Decodes PNG or JPEG data, told apart by their signatures.
  static Result<Image> fromData(const std::string& bytes);
  static Result<Image> fromFile(const std::string& path);

  bool empty() const { return width_ == 0 || height_ == 0; }
  int width() const { return width_; }
  int height() const { return height_; }
  int stride() const { return stride_; }
  Size size() const { return {double(width_), double(height_)}; }
  std::uint8_t* data() { return pixels_.data(); }
  const std::uint8_t* data() const { return pixels_.data(); }

  // The pixel at (x, y), un-premultiplied, components 0 ... 255.
  struct Rgba {
    int r, g, b, a;
  };
  Rgba pixel(int x, int y) const;

  Status writePng(const std::string& path) const;
  Result<std::string> pngData() const;

 private:
  int width_ = 0, height_ = 0, stride_ = 0;
  std::vector<std::uint8_t> pixels_;  // cairo's ARGB32 layout, native endian
};

}  // namespace nb::ui
