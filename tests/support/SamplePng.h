// A small real PNG (16 x 12, RGB) for the thumbnail tests that upload an image
// and ask the service for its thumbnail.
#pragma once

#include <string>
#include <string_view>

namespace nb::test {

inline std::string samplePng() {
  constexpr std::string_view kHex =
      "89504e470d0a1a0a0000000d49484452000000100000000c0802000000e485aad6000001554944415478da0dcb"
      "2101c520144051224c1000895c00c422bc0808022091370082082fc2040190480220168108ff1f7f8c315c0667"
      "b80d8f410cd1900d189a410daf611896e1331c833196cbe22cb7e5b188255ab2054bb3a8e5b50ccbb27c9663ff"
      "c173799ce7f63c1ef1444ff6e0691ef5bc9ee1599ecf73fc3f04ae800bdc8127208118c801022da0813730022b"
      "f0054ef807e1129c700b8f204214b280d004155e61084bf88423ff90b8122e71279e842462222748b48426dec4"
      "48acc49738e91f0a57c115eec25390422ce4028556d0c25b188555f80aa7fc43e5aab8ca5d792a5289955ca1d2"
      "2a5a792ba3b22a5fe5d47f502ec529b7f228a244252b284d51e55586b2944f39fa0f9dabe33a77e7e948277672"
      "874eeb68e7ed8cceea7c9dd3ff61724ddce49e3c1399c4499e3069139dbc933159936f72e63f6cae8ddbdc9b67"
      "239bb8c91b366da39b7733366bf36dcee607336d0c90b17c86fe0000000049454e44ae426082";
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  std::string bytes;
  for (std::size_t i = 0; i + 1 < kHex.size(); i += 2) {
    bytes.push_back(static_cast<char>(nibble(kHex[i]) << 4 | nibble(kHex[i + 1])));
  }
  return bytes;
}

}  // namespace nb::test
