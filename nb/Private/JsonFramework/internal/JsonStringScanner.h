// The JSON string scanner: the text of a string after its opening quote, with
// escapes decoded in place. The fast path (no escape) is inline; escapes and
// errors go to JsonStringScanner.cpp.
#pragma once

#include <cstddef>
#include <string_view>

#include "nb/Private/JsonFramework/NBJsonBase.h"
#include "nb/Private/JsonFramework/internal/JsonWords.h"

namespace nb::detail {

struct JsonStringStopTable {
  bool stop[256] = {};  // ends a run of plain string bytes
  constexpr JsonStringStopTable() {
    for (int c = 0; c < 0x20; ++c) stop[c] = true;
    stop[static_cast<unsigned char>('"')] = true;
    stop[static_cast<unsigned char>('\\')] = true;
  }
};
inline constexpr JsonStringStopTable kJsonStringStops;

// The first byte at or after `p` that ends a run of plain string bytes: '"', '\'
// or a control character (the terminating NUL among them). Reads whole 16-byte
// blocks, so up to 15 bytes past the NUL must be readable.
inline char* findStringStop(char* p) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  return firstMarkedByte(p, [&](__m128i x) {
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                        _mm_cmpeq_epi8(_mm_max_epu8(x, control), control));
  });
#else
  while (!kJsonStringStops.stop[static_cast<unsigned char>(*p)]) ++p;
  return p;
#endif
}

// A scanned string: its decoded text starts where the scan started and has `size`
// bytes; `end` is the byte after the closing quote, or nullptr on failure. Two
// words, so that it comes back in registers.
struct ScannedString {
  char* end;
  std::size_t size;
};

// Decodes the rest of a string whose first stop byte, at `stop`, is not its
// closing quote. Same contract as scanRestOfString.
ScannedString scanEscapedRestOfString(char* start, char* stop, NBJsonBase& errors);

// Scans the string starting at `c` (just after its opening quote), decoding it in
// place. On failure adds the errors to `errors`.
inline ScannedString scanRestOfString(char* c, NBJsonBase& errors) {
  char* const stop = findStringStop(c);
  if (*stop == '"') [[likely]] {
    return {stop + 1, static_cast<std::size_t>(stop - c)};
  }
  return scanEscapedRestOfString(c, stop, errors);
}

}  // namespace nb::detail
