// Thumbnails refuse a PNG by the size its header declares before decoding it,
// whatever the declared sides, and read real PNG and JPEG images.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "server/ImageRenderer.h"
#include "tests/server/TestImages.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::server {
namespace {

// The signature and IHDR chunk of a PNG that declares `width` x `height`
// (CRC left zero: the size check comes before any decoding).
std::string pngHeader(std::uint32_t width, std::uint32_t height) {
  std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  for (const std::uint32_t side : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>((side >> shift) & 0xFF);
  }
  png += std::string("\x08\x06\0\0\0\0\0\0\0", 9);
  return png;
}

TEST(ImageRendererTest, ThumbnailJudgesTheDeclaredSizeFirst) {
  test::TemporaryFolder folder("nb-image");
  ASSERT_TRUE(folder.ok());
  using T = ImageRenderer::Thumbnail;
  const struct {
    const char* what;
    std::string bytes;
    T outcome;
  } cases[] = {
      {"largest sides", pngHeader(0xFFFFFFFF, 0xFFFFFFFF), T::kTooLarge},
      {"one huge side", pngHeader(0x80000000, 1), T::kTooLarge},
      {"just over the pixel limit", pngHeader(8001, 8000), T::kTooLarge},
      {"small but truncated", pngHeader(4, 4), T::kNotAnImage},
      {"not an image", "plain text", T::kNotAnImage},
      {"real PNG", test::makePng(40, 20), T::kOk},
      {"real JPEG", test::makeJpeg(20, 40), T::kOk},
  };
  for (const auto& c : cases) {
    const std::string file = (folder.path() / "image").string();
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.bytes;
    std::string png;
    EXPECT_EQ(ImageRenderer::thumbnail(file, 10, 10, &png), c.outcome) << c.what;
    EXPECT_EQ(png.empty(), c.outcome != T::kOk) << c.what;
  }
}

}  // namespace
}  // namespace nb::server
