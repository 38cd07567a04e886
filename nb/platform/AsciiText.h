// ASCII character rules for protocol text (header names, hosts, keywords,
// percent escapes, query values), used by the library and the emulator: case
// folding and hex digits, independent of the process locale and leaving every
// non-ASCII byte unchanged. Stateless.
#pragma once

#include <string>
#include <string_view>

namespace nb::ascii {

constexpr char toLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = toLower(c);
  return out;
}

constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (toLower(a[i]) != toLower(b[i])) return false;
  }
  return true;
}

constexpr bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// `text` without the spaces, tabs and line ends around it. (A plain loop: the
// transport trims every response header line with it.)
constexpr std::string_view trim(std::string_view text) {
  std::size_t first = 0, end = text.size();
  while (first < end && isBlank(text[first])) ++first;
  while (end > first && isBlank(text[end - 1])) --end;
  return text.substr(first, end - first);
}

// The value of a hex digit, or -1 for any other character.
constexpr int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace nb::ascii
