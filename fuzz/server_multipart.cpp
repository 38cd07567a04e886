// libFuzzer target for the emulator's streaming multipart reader: the body
// (after a first line naming the boundary) is fed in pieces whose sizes come
// from the input too, and the bytes of every part must never exceed the body.
// Built by fuzz/run with clang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/MultipartReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto newline = input.find('\n');
  if (newline == std::string_view::npos || newline == 0) return 0;
  const std::string boundary(input.substr(0, newline));
  const std::string_view body = input.substr(newline + 1);

  std::size_t partBytes = 0;
  nb::server::MultipartReader reader(
      boundary, [](const std::string&) {},
      [&partBytes](const char*, std::size_t n) { partBytes += n; });
  // Piece sizes cycle through the boundary's bytes, so splits land anywhere.
  std::size_t at = 0, turn = 0;
  while (at < body.size()) {
    const std::size_t piece = 1 + static_cast<unsigned char>(boundary[turn++ % boundary.size()]);
    const std::size_t n = piece < body.size() - at ? piece : body.size() - at;
    if (!reader.feed(body.data() + at, n)) break;
    at += n;
  }
  if (partBytes > body.size()) std::abort();
  return 0;
}
