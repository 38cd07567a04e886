// libFuzzer target for Base64: decoding any ASCII text either yields bytes or
// raises Base64Error, non-ASCII text raises the parameter assertion, encoding
// output decodes back to the input, and the decoded bytes of a canonical text
// encode to that text again. Built by fuzz/run with clang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "nb/Private/NSDataBase64Helper.h"

namespace {

bool isAscii(std::string_view text) {
  for (const unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nb::NSDataBase64Helper;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const std::vector<std::uint8_t> decoded = NSDataBase64Helper::dataFromBase64String(text);
    check(isAscii(text));
    check(decoded.size() <= text.size() / 4 * 3);
    const std::string encoded =
        NSDataBase64Helper::base64StringFromData(decoded.data(), decoded.size());
    check(NSDataBase64Helper::dataFromBase64String(encoded) == decoded);
    // Text that is already canonical encodes back to itself.
    if (text.size() % 4 == 0 &&
        text.find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/") ==
            std::string_view::npos) {
      check(encoded == text);
    }
  } catch (const nb::Base64Error& error) {
    check(isAscii(text));
    check(std::string_view(error.what()) == "Premature end of Base64 string");
  } catch (const nb::NBAssertionFailure&) {
    check(!isAscii(text));
  }

  // Any bytes survive the round trip.
  const std::string encoded = NSDataBase64Helper::base64StringFromData(data, size);
  check(encoded.size() == (size + 2) / 3 * 4);
  const auto back = NSDataBase64Helper::dataFromBase64String(encoded);
  check(back == std::vector<std::uint8_t>(data, data + size));
  return 0;
}
