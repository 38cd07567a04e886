// Whitespace between JSON tokens: space, tab, line feed, vertical tab, form feed
// and carriage return. No byte of 0x80 or above counts.
#pragma once

namespace nb::detail {

struct JsonWhitespaceTable {
  bool whitespace[256] = {};
  constexpr JsonWhitespaceTable() {
    for (char c : {' ', '\t', '\n', '\v', '\f', '\r'}) {
      whitespace[static_cast<unsigned char>(c)] = true;
    }
  }
};
inline constexpr JsonWhitespaceTable kJsonWhitespace;

// Advances `c` past whitespace. The text must end in a NUL, which stops the loop.
inline void skipWhitespace(char*& c) {
  while (kJsonWhitespace.whitespace[static_cast<unsigned char>(*c)]) ++c;
}

}  // namespace nb::detail
