// ImageRenderer draws the emulator's pictures with cairo: the verification
// image showing a registration code, and thumbnails of stored PNG and JPEG
// images. Stateless; any thread.
#pragma once

#include <optional>
#include <string>

namespace nb::server {

class ImageRenderer {
 public:
  // A PNG of `code` on a light, lightly speckled background.
  static std::string verificationImage(const std::string& code);

  enum class Thumbnail { kOk, kNotAnImage, kTooLarge };
  // Reads the PNG or JPEG at `file` and scales it to fit `width` x `height`,
  // keeping its proportions and never enlarging it; PNG bytes in `png`.
  static Thumbnail thumbnail(const std::string& file, int width, int height, std::string* png);

  static constexpr long kMaxPixels = 64L * 1000 * 1000;

  // Frees the drawing libraries' process-wide caches (fonts); call once at
  // exit, after every request thread has stopped.
  static void releaseCaches();
};

}  // namespace nb::server
