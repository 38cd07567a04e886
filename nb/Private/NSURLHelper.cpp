#include "nb/Private/NSURLHelper.h"

#include <cstdint>

#include "nb/platform/AsciiText.h"

namespace nb {

using ascii::hexValue;

bool NSURLHelper::isValidUTF8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t length;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + length > s.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr std::uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::optional<std::string> NSURLHelper::percentDecode(std::string_view s) {
  auto out = percentDecodeBytes(s);
  if (out && !isValidUTF8(*out)) return std::nullopt;
  return out;
}

std::optional<std::string> NSURLHelper::percentDecodeBytes(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    const int high = hexValue(s[i + 1]);
    const int low = hexValue(s[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

std::map<std::string, std::string> NSURLHelper::parseURLQueryString(
    std::optional<std::string_view> query) {
  std::map<std::string, std::string> pairs;
  if (!query) return pairs;
  std::string_view rest = *query;
  while (true) {
    const std::size_t amp = rest.find('&');
    const std::string_view piece = rest.substr(0, amp);
    const std::size_t eq = piece.find('=');
    if (eq != std::string_view::npos && piece.find('=', eq + 1) == std::string_view::npos) {
      if (auto value = percentDecode(piece.substr(eq + 1))) {
        pairs.insert_or_assign(std::string(piece.substr(0, eq)), std::move(*value));
      }
    }
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  return pairs;
}

}  // namespace nb
