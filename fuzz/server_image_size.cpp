// libFuzzer target for the emulator's thumbnail reader and its image-size
// check: the input is written to a file and read as a PNG or JPEG to scale.
// Built by fuzz/run with clang.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "server/ImageRenderer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = "image-" + std::to_string(::getpid());
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  std::string png;
  (void)nb::server::ImageRenderer::thumbnail(file, 32, 32, &png);
  return 0;
}
