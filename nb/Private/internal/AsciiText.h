// ASCII character rules the library applies to protocol text (header names,
// percent escapes, query values): case folding and hex digits, independent of
// the process locale and leaving every non-ASCII byte unchanged. Stateless.
#pragma once

#include <string>
#include <string_view>

namespace nb::ascii {

constexpr char toLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string lowercase(std::string text) {
  for (char& c : text) c = toLower(c);
  return text;
}

constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (toLower(a[i]) != toLower(b[i])) return false;
  }
  return true;
}

// `text` without the spaces, tabs and line ends around it.
constexpr std::string_view trim(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n";
  const auto first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// The value of a hex digit, or -1 for any other character.
constexpr int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace nb::ascii
