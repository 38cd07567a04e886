// libFuzzer target for query parsing and percent-decoding: parsed values are
// always valid UTF-8 and come back from their own encoding, percent-decoding
// inverts percent-encoding for any bytes, and the strict decoder agrees with
// the byte decoder followed by the UTF-8 check. Built by fuzz/run with clang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/NSURLHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& [name, value] : nb::NSURLHelper::parseURLQueryString(text)) {
    check(name.find('&') == std::string::npos && name.find('=') == std::string::npos);
    check(nb::NSURLHelper::isValidUTF8(value));
    const auto again = nb::NSURLHelper::parseURLQueryString(
        "k=" + nb::NSStringHelper::urlEncodeCovertString(value));
    check(again.size() == 1 && again.begin()->second == value);
  }

  const auto bytes = nb::NSURLHelper::percentDecodeBytes(text);
  const auto strict = nb::NSURLHelper::percentDecode(text);
  if (bytes) {
    check(bytes->size() <= text.size());
    check(strict.has_value() == nb::NSURLHelper::isValidUTF8(*bytes));
    if (strict) check(*strict == *bytes);
  } else {
    check(!strict);
  }
  // Encoding is total and decoding inverts it, whatever the bytes.
  const std::string encoded = nb::NSStringHelper::urlEncodeCovertString(std::string(text));
  check(nb::NSURLHelper::percentDecodeBytes(encoded) == std::string(text));
  return 0;
}
