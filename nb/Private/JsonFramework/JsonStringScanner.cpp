#include "nb/Private/JsonFramework/internal/JsonStringScanner.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace nb::detail {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string withHex(const char* text, unsigned value) {
  char buffer[80];
  std::snprintf(buffer, sizeof buffer, text, value);
  return buffer;
}

char* appendUtf8(char* w, unsigned cp) {
  if (cp < 0x80) {
    *w++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *w++ = static_cast<char>(0xC0 | (cp >> 6));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *w++ = static_cast<char>(0xE0 | (cp >> 12));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *w++ = static_cast<char>(0xF0 | (cp >> 18));
    *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return w;
}

// Four hex digits at `c` into `out`, advancing `c` past them.
bool scanHexQuad(char*& c, unsigned& out, NBJsonBase& errors) {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hexValue(c[i]);
    if (digit < 0) {
      errors.addErrorWithCode(kNBJsonErrorUnicode, "Missing hex digit in quad");
      return false;
    }
    value = value * 16 + static_cast<unsigned>(digit);
  }
  c += 4;
  out = value;
  return true;
}

// The escape after "\u" at `c` (a surrogate pair takes two), written as UTF-8 at
// `write`; both advance. At most 6 bytes read give at most 3 written (12 give 4).
bool scanUnicodeChar(char*& c, char*& write, NBJsonBase& errors) {
  unsigned high;
  if (!scanHexQuad(c, high, errors)) {
    errors.addErrorWithCode(kNBJsonErrorUnicode, "Missing hex quad");
    return false;
  }
  unsigned codePoint = high;
  if (high >= 0xDC00 && high <= 0xDFFF) {
    errors.addErrorWithCode(kNBJsonErrorUnicode, "Invalid high character in surrogate pair");
    return false;
  }
  if (high >= 0xD800 && high <= 0xDBFF) {
    unsigned low;
    if (c[0] != '\\' || c[1] != 'u') {
      errors.addErrorWithCode(kNBJsonErrorUnicode, "Missing low character in surrogate pair");
      return false;
    }
    c += 2;
    if (!scanHexQuad(c, low, errors)) {
      errors.addErrorWithCode(kNBJsonErrorUnicode, "Missing low character in surrogate pair");
      return false;
    }
    if (low < 0xDC00 || low > 0xDFFF) {
      errors.addErrorWithCode(kNBJsonErrorUnicode, "Invalid low surrogate char");
      return false;
    }
    codePoint = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
  }
  write = appendUtf8(write, codePoint);
  return true;
}

}  // namespace

ScannedString scanEscapedRestOfString(char* start, char* p, NBJsonBase& errors) {
  // Escapes are decoded in place: the text only ever shrinks, so the write
  // position `w` never passes the read position `p`.
  char* w = p;
  for (;;) {
    const char ch = *p;
    if (ch == '"') {
      // At least one escape was decoded, so the text ends before this quote. The
      // byte after it must not be a quote: that marks text without escapes.
      *w = '\0';
      return {p + 1, static_cast<std::size_t>(w - start)};
    }
    if (ch == '\\') {
      const char escape = p[1];
      p += 2;
      switch (escape) {
        case '"':
        case '/':
        case '\\':
          *w++ = escape;
          break;
        case 'b':
          *w++ = '\b';
          break;
        case 'f':
          *w++ = '\f';
          break;
        case 'n':
          *w++ = '\n';
          break;
        case 'r':
          *w++ = '\r';
          break;
        case 't':
          *w++ = '\t';
          break;
        case 'u':
          if (!scanUnicodeChar(p, w, errors)) {
            errors.addErrorWithCode(kNBJsonErrorUnicode, "Broken unicode character");
            return {nullptr, 0};
          }
          break;
        default:
          errors.addErrorWithCode(kNBJsonErrorEscape, withHex("Illegal escape sequence '0x%x'",
                                                              static_cast<unsigned char>(escape)));
          return {nullptr, 0};
      }
      if (*p == '\0') {
        errors.addErrorWithCode(kNBJsonErrorEndOfInput, "Unexpected EOF while parsing string");
        return {nullptr, 0};
      }
      continue;
    }
    if (static_cast<unsigned char>(ch) < 0x20) {
      errors.addErrorWithCode(
          kNBJsonErrorControlCharacter,
          withHex("Unescaped control character '0x%x'", static_cast<unsigned char>(ch)));
      return {nullptr, 0};
    }
    char* const runEnd = findStringStop(p);
    std::memmove(w, p, static_cast<std::size_t>(runEnd - p));
    w += runEnd - p;
    p = runEnd;
  }
}

}  // namespace nb::detail
