// Small images for the thumbnail tests, made on the fly: a PNG drawn with
// cairo and a JPEG written with libjpeg, plus the size a PNG declares.
#pragma once

#include <string>
#include <utility>

namespace nb::test {

std::string makePng(int width, int height);
std::string makeJpeg(int width, int height);
// Width and height from a PNG's header; {0, 0} when it is not a PNG.
std::pair<int, int> pngSize(const std::string& png);

}  // namespace nb::test
