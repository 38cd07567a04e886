// The JSON scanners read the text a word (8 bytes) or a block (16 bytes) at a
// time and look at the bytes through integer and vector arithmetic. Every such
// reinterpretation of bytes lives here, so the scanners stay plain code.
// The caller guarantees that the bytes read exist (the parser's copy of the text
// is padded with zero bytes).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace nb::detail {

// Eight bytes at `p` as a little-endian word: byte i of the text is bits 8i..8i+7.
inline std::uint64_t loadWord(const char* p) {
  static_assert(std::endian::native == std::endian::little);
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

inline std::uint64_t broadcast(unsigned char byte) { return 0x0101010101010101ull * byte; }

// A word with a non-zero byte wherever the byte of `x` is not an ASCII digit: a
// digit's high nibble is 3, and adding 6 to it leaves the high nibble at 3.
inline std::uint64_t nonDigitBytes(std::uint64_t x) {
  return ((x & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull) |
         (((x + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull);
}

// The number of leading (lowest) bytes of `x` that `nonDigitBytes` left zero.
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

}  // namespace nb::detail
