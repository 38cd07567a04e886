#include "server/RequestParameters.h"

namespace nb::server {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> RequestParameters::decode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = hexValue(text[i + 1]);
      const int lo = hexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else if (c == '+' && plusIsSpace) {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
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
    auto value = decode(eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1),
                        true);
    if (!name || !value) return std::nullopt;
    params.add(std::move(*name), std::move(*value));
  }
  return params;
}

std::optional<std::string> RequestParameters::get(std::string_view name) const {
  for (auto it = pairs_.rbegin(); it != pairs_.rend(); ++it) {
    if (it->first == name) return it->second;
  }
  return std::nullopt;
}

}  // namespace nb::server
