#include "server/RequestParameters.h"

#include <algorithm>

#include "nb/Private/NSURLHelper.h"
#include "nb/platform/AsciiText.h"

namespace nb::server {

std::optional<std::string> RequestParameters::decode(std::string_view text, bool plusIsSpace) {
  if (!plusIsSpace) return NSURLHelper::percentDecodeBytes(text);
  // Spaces are put in before decoding, so an escaped "%2B" still means "+".
  std::string spaced(text);
  std::replace(spaced.begin(), spaced.end(), '+', ' ');
  return NSURLHelper::percentDecodeBytes(spaced);
}

std::optional<RequestParameters> RequestParameters::parse(std::string_view text) {
  RequestParameters params;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('&', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = text.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    const auto eq = piece.find('=');
    auto name = decode(piece.substr(0, eq), true);
    auto value =
        decode(eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1), true);
    if (!name || !value) return std::nullopt;
    params.add(std::move(*name), std::move(*value));
  }
  return params;
}

bool RequestParameters::addAuthorization(std::string_view header, RequestParameters* out) {
  if (header.size() < 6 || ascii::lowercase(header.substr(0, 6)) != "oauth ") return false;
  std::size_t i = 6;
  while (i < header.size()) {
    while (i < header.size() && (header[i] == ' ' || header[i] == ',')) ++i;
    if (i >= header.size()) break;
    const auto eq = header.find('=', i);
    if (eq == std::string_view::npos || eq + 1 >= header.size() || header[eq + 1] != '"') {
      return false;
    }
    const auto close = header.find('"', eq + 2);
    if (close == std::string_view::npos) return false;
    auto name = decode(header.substr(i, eq - i), false);
    auto value = decode(header.substr(eq + 2, close - eq - 2), false);
    if (!name || !value) return false;
    if (*name != "realm") out->add(std::move(*name), std::move(*value));
    i = close + 1;
  }
  return true;
}

std::optional<std::string> RequestParameters::get(std::string_view name) const {
  for (auto it = pairs_.rbegin(); it != pairs_.rend(); ++it) {
    if (it->first == name) return it->second;
  }
  return std::nullopt;
}

}  // namespace nb::server
