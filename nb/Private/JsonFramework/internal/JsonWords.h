// The JSON scanners read the text a word (8 bytes) or a block (16 bytes) at a
// time and look at the bytes through integer and vector arithmetic. Every such
// reinterpretation of bytes lives here, so the scanners stay plain code.
// The caller guarantees that the bytes read exist (the parser's copy of the text
// is padded with zero bytes).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "nb/Private/JsonFramework/JsonValue.h"

namespace nb::detail {

// Eight bytes at `p` as a little-endian word: byte i of the text is bits 8i..8i+7.
inline std::uint64_t loadWord(const char* p) {
  static_assert(std::endian::native == std::endian::little);
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

inline std::uint64_t broadcast(unsigned char byte) { return 0x0101010101010101ull * byte; }

// Given `d`, a word of text less '0' in every byte (x - broadcast('0')), marks the
// high bit of each byte that was not an ASCII digit: a digit leaves 0..9, which
// stays below 0x80 when 0x76 is added; anything else is 10..0x7F (pushed over by
// the addition) or has the high bit already. A borrow or carry only moves upward,
// so the lowest marked byte is exact and a word of digits marks none: enough to
// count the digits that lead the word.
inline std::uint64_t nonDigitMarks(std::uint64_t d) {
  return ((d + broadcast(0x76)) | d) & broadcast(0x80);
}

// The number of leading (lowest) bytes that `nonDigitMarks` left unmarked.
inline unsigned leadingZeroBytes(std::uint64_t marks) {
  return static_cast<unsigned>(std::countr_zero(marks)) / 8;
}

// The value of eight decimal digits packed in a word, each byte 0..9, the first
// digit in the lowest byte.
inline std::uint64_t eightDigitValue(std::uint64_t x) {
  x = (x * 10) + (x >> 8);  // pairs of digits
  return (((x & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
          (((x >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
         32;
}

#if defined(__SSE2__)
// The first byte at or after `p` whose lane `marks` sets in the 16-byte block
// that holds it. Reads whole blocks: the caller guarantees a marked byte, and
// readable bytes up to the end of its block.
template <class Marks>
inline char* firstMarkedByte(char* p, Marks marks) {
  for (;;) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int mask = _mm_movemask_epi8(marks(block));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
}
#endif

// Copies `text` to `to` up to its first NUL byte (or all of it) and returns the
// number of bytes copied: one pass instead of a search and a copy. Bytes after
// the NUL may be copied too.
inline std::size_t copyUpToNul(char* to, std::string_view text) {
  const char* from = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 64 <= n; i += 64) {
    const auto* s = reinterpret_cast<const __m128i*>(from + i);
    const __m128i a = _mm_loadu_si128(s), b = _mm_loadu_si128(s + 1);
    const __m128i c = _mm_loadu_si128(s + 2), d = _mm_loadu_si128(s + 3);
    auto* t = reinterpret_cast<__m128i*>(to + i);
    _mm_storeu_si128(t, a);
    _mm_storeu_si128(t + 1, b);
    _mm_storeu_si128(t + 2, c);
    _mm_storeu_si128(t + 3, d);
    const __m128i nul =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(b, zero)),
                     _mm_or_si128(_mm_cmpeq_epi8(c, zero), _mm_cmpeq_epi8(d, zero)));
    if (_mm_movemask_epi8(nul) != 0) break;
  }
#endif
  if (i == n) return n;  // also keeps an empty view's null pointer away from memchr
  const void* nul = std::memchr(from + i, 0, n - i);
  const std::size_t length =
      nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - from) : n;
  std::memcpy(to + i, from + i, length - i);
  return length;
}

// A JsonNode as four words. The parser writes each node it scans into its slot
// as two 16-byte stores and copies nodes as 16-byte halves: a load that spans
// several smaller stores still in flight cannot take its bytes from them and
// waits for them to reach the cache, which costs more than scanning a number.
struct NodeWords {
  std::uint64_t w[4];
};
static_assert(sizeof(JsonNode) == sizeof(NodeWords));
static_assert(offsetof(JsonNode, type) == 24);
static_assert(offsetof(JsonNode::Span, size) == 8 && offsetof(JsonNode::Span, capacity) == 12 &&
              offsetof(JsonNode::Span, arena) == 16);

inline void storeNode(JsonNode* slot, const NodeWords& n) {
#if defined(__SSE2__)
  auto* p = reinterpret_cast<__m128i*>(slot);
  _mm_storeu_si128(p,
                   _mm_set_epi64x(static_cast<long long>(n.w[1]), static_cast<long long>(n.w[0])));
  _mm_storeu_si128(p + 1,
                   _mm_set_epi64x(static_cast<long long>(n.w[3]), static_cast<long long>(n.w[2])));
#else
  std::memcpy(static_cast<void*>(slot), &n, sizeof n);
#endif
}

// A string, array or object node: its data, its size (also its capacity), no arena.
inline NodeWords spanWords(JsonType type, const void* data, std::uint32_t size) {
  return {{reinterpret_cast<std::uintptr_t>(data), size | (std::uint64_t{size} << 32), 0,
           static_cast<std::uint64_t>(type)}};
}

// Copies `count` nodes or other 16-byte multiples in the halves they were stored as.
inline void copyHalves(void* to, const void* from, std::size_t halves) {
#if defined(__SSE2__)
  auto* d = static_cast<__m128i*>(to);
  const auto* s = static_cast<const __m128i*>(from);
  for (std::size_t i = 0; i < halves; ++i) _mm_storeu_si128(d + i, _mm_loadu_si128(s + i));
#else
  std::memcpy(to, from, halves * 16);
#endif
}

}  // namespace nb::detail
