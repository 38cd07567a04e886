// Whitespace between JSON tokens: space, tab, line feed, vertical tab, form feed
// and carriage return. No byte of 0x80 or above counts.
#pragma once

#include "nb/Private/JsonFramework/internal/JsonWords.h"

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

inline bool isJsonWhitespace(char c) {
  return kJsonWhitespace.whitespace[static_cast<unsigned char>(c)];
}

// Advances `c` past whitespace. The text must end in a NUL, which stops the loop.
// Between tokens there is mostly nothing or a single space, checked byte by byte;
// longer runs (line breaks and indentation) go 16 bytes at a time, so up to 15
// bytes past the NUL must be readable.
inline void skipWhitespace(char*& c) {
  if (!isJsonWhitespace(*c)) return;
  if (!isJsonWhitespace(*++c)) return;
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i four = _mm_set1_epi8(4);
  c = firstMarkedByte(c, [&](__m128i x) {
    // Tab to carriage return are 0x09..0x0D: x - 9 is at most 4 (unsigned).
    const __m128i control = _mm_sub_epi8(x, tab);
    const __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(x, space),
                                       _mm_cmpeq_epi8(_mm_min_epu8(control, four), control));
    return _mm_cmpeq_epi8(blank, _mm_setzero_si128());
  });
#else
  while (isJsonWhitespace(*c)) ++c;
#endif
}

}  // namespace nb::detail
