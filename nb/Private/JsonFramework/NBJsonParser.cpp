#include "nb/Private/JsonFramework/NBJsonParser.h"

#include <bit>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <new>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "nb/Private/JsonFramework/internal/JsonArena.h"

namespace nb {

using detail::JsonArena;
using detail::JsonNode;
using detail::JsonType;

namespace {

// The input is copied into the arena with this many zero bytes after it, so that
// the scanners may look a few bytes (or one 16-byte block) past the end.
constexpr std::size_t kPadding = 64;

constexpr bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

struct ByteTables {
  bool whitespace[256] = {};
  bool stop[256] = {};  // ends a run of plain string bytes
  constexpr ByteTables() {
    for (char c : {' ', '\t', '\n', '\v', '\f', '\r'}) whitespace[static_cast<unsigned char>(c)] = true;
    for (int c = 0; c < 0x20; ++c) stop[c] = true;
    stop[static_cast<unsigned char>('"')] = true;
    stop[static_cast<unsigned char>('\\')] = true;
  }
};
constexpr ByteTables kTables;

inline void skipWhitespace(char*& c) {
  while (kTables.whitespace[static_cast<unsigned char>(*c)]) ++c;
}

// The first byte at or after `p` that ends a run of plain string bytes: '"', '\'
// or a control character (the terminating NUL among them).
inline char* findStop(char* p) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  for (;;) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                     _mm_cmpeq_epi8(_mm_max_epu8(x, control), control));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#else
  while (!kTables.stop[static_cast<unsigned char>(*p)]) ++p;
  return p;
#endif
}

// The value of eight decimal digits packed in a little-endian word (each byte 0..9).
inline std::uint64_t eightDigitValue(std::uint64_t x) {
  x = (x * 10) + (x >> 8);  // pairs of digits
  return (((x & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
          (((x >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
         32;
}

constexpr std::uint64_t kPowersOf10[] = {1,         10,         100,         1000,
                                         10000,     100000,     1000000,     10000000,
                                         100000000};

// Reads the run of decimal digits at `p` into `mantissa` (wrapping silently past
// 19 digits, which the caller checks) and returns its length. Eight bytes at a
// time: the input is padded, so reading past the run is safe.
inline std::size_t scanDigits(const char* p, std::uint64_t& mantissa) {
  const char* const start = p;
  for (;;) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    // Non-zero bytes mark non-digits: a digit's high nibble is 3, and adding 6
    // to it leaves the high nibble at 3.
    const std::uint64_t nonDigit =
        ((x & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull) |
        (((x + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull);
    x -= 0x3030303030303030ull;
    if (nonDigit == 0) {
      mantissa = mantissa * 100000000 + eightDigitValue(x);
      p += 8;
      continue;
    }
    const unsigned count = static_cast<unsigned>(std::countr_zero(nonDigit)) / 8;
    if (count != 0) {
      // Shift the digits to the top of the word: the zero bytes below read as
      // leading zeros.
      mantissa = mantissa * kPowersOf10[count] + eightDigitValue(x << (64 - 8 * count));
      p += count;
    }
    return static_cast<std::size_t>(p - start);
  }
}

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

struct RawMember {
  std::string_view key;
  JsonNode value;
};
static_assert(sizeof(RawMember) == sizeof(JsonMember));

// Open-addressing index of one object's keys, used to find duplicates in large objects.
class KeyIndex {
 public:
  // Slot of `key` among members already added, or -1 after adding it as `position`.
  int findOrAdd(std::string_view key, int position, const RawMember* members) {
    std::size_t h = 1469598103934665603ull;
    for (char ch : key) h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ull;
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      if (slots_[i] < 0) {
        slots_[i] = position;
        return -1;
      }
      if (members[slots_[i]].key == key) return slots_[i];
    }
  }
  void reset(std::size_t count) {
    std::size_t size = 64;
    while (size < count * 2) size *= 2;
    slots_.assign(size, -1);
    mask_ = size - 1;
  }

 private:
  std::vector<int> slots_;
  std::size_t mask_ = 0;
};

}  // namespace

// A stack of plain values that hands out uninitialised slots, so that a scanned
// value is written once, straight into its place.
template <class T>
class SlotStack {
 public:
  SlotStack() = default;
  SlotStack(const SlotStack&) = delete;
  SlotStack& operator=(const SlotStack&) = delete;
  ~SlotStack() { std::free(data_); }

  T* push() {
    if (size_ == capacity_) grow();
    return data_ + size_++;
  }
  T& back() { return data_[size_ - 1]; }
  T* at(std::size_t i) { return data_ + i; }
  std::size_t size() const { return size_; }
  std::size_t bytes() const { return capacity_ * sizeof(T); }
  void truncate(std::size_t size) { size_ = size; }

 private:
  void grow() {
    capacity_ = capacity_ == 0 ? 256 : capacity_ * 2;
    void* data = std::realloc(static_cast<void*>(data_), capacity_ * sizeof(T));
    if (data == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(data);
  }

  T* data_ = nullptr;
  std::size_t size_ = 0, capacity_ = 0;
};

struct NBJsonParser::Scratch {
  struct Frame {
    JsonType type;
    std::size_t start;  // first element in `values` or member in `members`
  };
  std::vector<Frame> frames;
  SlotStack<JsonNode> values;
  SlotStack<RawMember> members;
  KeyIndex index;

  // Whether the stacks are small enough to keep for the thread's next parser.
  bool worthKeeping() const { return values.bytes() + members.bytes() <= (16u << 20); }
};

namespace {

// One spare scratch per thread, so that a fresh parser per call (as NBJsonUtility
// makes) starts with stacks already grown.
std::unique_ptr<NBJsonParser::Scratch>& cachedScratch() {
  static thread_local std::unique_ptr<NBJsonParser::Scratch> scratch;
  return scratch;
}

}  // namespace

NBJsonParser::NBJsonParser()
    : scratch_(cachedScratch() ? std::move(cachedScratch()) : std::make_unique<Scratch>()) {}

NBJsonParser::~NBJsonParser() {
  if (!cachedScratch() && scratch_->worthKeeping()) cachedScratch() = std::move(scratch_);
}

std::optional<JsonValue> NBJsonParser::fragmentWithString(std::optional<std::string_view> text) {
  clearErrorTrace();
  if (!text) {
    addErrorWithCode(kNBJsonErrorNilInput, "Input was 'nil'");
    return std::nullopt;
  }
  depth_ = 0;
  const void* nul = std::memchr(text->data(), 0, text->size());
  const std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text->data()) : text->size();

  // Strings are unescaped in place in this copy and stay there, so a string without
  // escapes costs no copy of its own.
  arena_ = std::make_unique<JsonArena>(length * 2 + 2 * kPadding);
  char* buffer = static_cast<char*>(arena_->allocate(length + kPadding));
  std::memcpy(buffer, text->data(), length);
  std::memset(buffer + length, 0, kPadding);

  char* c = buffer;
  JsonNode root;
  if (!scanValue(c, root)) {
    arena_.reset();
    return std::nullopt;
  }
  if (!scanIsAtEnd(c)) {
    addErrorWithCode(kNBJsonErrorGarbage, "Garbage after JSON");
    arena_.reset();
    return std::nullopt;
  }
  return JsonValueBuilder::root(root, std::move(arena_));
}

std::optional<JsonValue> NBJsonParser::objectWithString(std::optional<std::string_view> text) {
  auto value = fragmentWithString(text);
  if (!value || value->isArray() || value->isObject()) return value;
  addErrorWithCode(kNBJsonErrorTopLevel, "Valid fragment, but not JSON");
  return std::nullopt;
}

bool NBJsonParser::scanIsAtEnd(char*& c) {
  skipWhitespace(c);
  return *c == '\0';
}

// Arrays and objects are scanned with an explicit stack rather than recursion, so
// that no input, however deep (maxDepth 0 allows any depth), can exhaust the call
// stack. Each value is written straight into its slot: the top of `values` for an
// array element, the newest member for an object value. Elements wait there until
// their container closes, then move into the arena in one block of the exact size.
bool NBJsonParser::scanValue(char*& cursor, JsonNode& out) {
  Scratch& s = *scratch_;
  char* c = cursor;
  s.frames.clear();
  s.values.truncate(0);
  s.members.truncate(0);
  JsonNode* slot = &out;
  std::string_view text;

value:
  skipWhitespace(c);
  switch (*c) {
    case '"':
      ++c;
      c = scanRestOfString(c, text);
      if (c == nullptr) goto fail;
      slot->type = JsonType::String;
      slot->span = {text.data(), static_cast<std::uint32_t>(text.size()),
                    static_cast<std::uint32_t>(text.size()), nullptr};
      goto next;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      c = scanNumber(c, *slot);
      if (c == nullptr) goto fail;
      goto next;
    case '[':
    case '{': {
      const bool isArray = *c == '[';
      ++c;
      depth_ = static_cast<std::uint32_t>(s.frames.size() + 1);
      if (maxDepth() != 0 && depth_ > maxDepth()) {
        addErrorWithCode(kNBJsonErrorDepth, "Nested too deep");
        goto fail;
      }
      if (*c == '\0') {
        addErrorWithCode(kNBJsonErrorEndOfInput, isArray ? "End of input while parsing array"
                                                         : "End of input while parsing object");
        goto fail;
      }
      if (isArray) {
        s.frames.push_back({JsonType::Array, s.values.size()});
        skipWhitespace(c);
        if (*c == ']') {
          ++c;
          goto closeArray;
        }
        slot = s.values.push();
        goto value;
      }
      s.frames.push_back({JsonType::Object, s.members.size()});
      goto member;
    }
    case 't':
      if (std::memcmp(c + 1, "rue", 3) != 0) {
        addErrorWithCode(kNBJsonErrorSyntax, "Expected 'true'");
        goto fail;
      }
      c += 4;
      slot->type = JsonType::Bool;
      slot->boolean = true;
      goto next;
    case 'f':
      if (std::memcmp(c + 1, "alse", 4) != 0) {
        addErrorWithCode(kNBJsonErrorSyntax, "Expected 'false'");
        goto fail;
      }
      c += 5;
      slot->type = JsonType::Bool;
      slot->boolean = false;
      goto next;
    case 'n':
      if (std::memcmp(c + 1, "ull", 3) != 0) {
        addErrorWithCode(kNBJsonErrorSyntax, "Expected 'null'");
        goto fail;
      }
      c += 4;
      slot->type = JsonType::Null;
      goto next;
    case '+':
      addErrorWithCode(kNBJsonErrorNumber, "Leading + disallowed in number");
      goto fail;
    case '\0':
      addErrorWithCode(kNBJsonErrorEndOfInput, "Unexpected end of string");
      goto fail;
    default:
      addErrorWithCode(kNBJsonErrorSyntax, "Unrecognised leading character");
      goto fail;
  }

closeArray:
  // The array's elements are the top of `values`; its own slot is the one below
  // (parent array), the newest member (parent object) or `out`.
  {
    const JsonNode node = closeArray(s.frames.back().start);
    s.frames.pop_back();
    slot = s.frames.empty() ? &out
           : s.frames.back().type == JsonType::Array ? &s.values.back()
                                                     : &s.members.back().value;
    *slot = node;
  }
  goto next;
closeObject : {
  const JsonNode node = closeObject(s.frames.back().start);
  s.frames.pop_back();
  slot = s.frames.empty() ? &out
         : s.frames.back().type == JsonType::Array ? &s.values.back()
                                                   : &s.members.back().value;
  *slot = node;
}

next:
  // A value is complete: go on with the container around it, if any.
  if (s.frames.empty()) {
    cursor = c;
    return true;
  }
  if (s.frames.back().type == JsonType::Array) {
    skipWhitespace(c);
    if (*c == ',') {
      ++c;
      skipWhitespace(c);
      if (*c == ']') {
        addErrorWithCode(kNBJsonErrorTrailingComma, "Trailing comma disallowed in array");
        goto failInside;
      }
    }
    if (*c == '\0') {
      addErrorWithCode(kNBJsonErrorEndOfInput, "End of input while parsing array");
      goto failInside;
    }
    skipWhitespace(c);
    if (*c == ']') {
      ++c;
      goto closeArray;
    }
    slot = s.values.push();
    goto value;
  }
  skipWhitespace(c);
  if (*c == ',') {
    ++c;
    skipWhitespace(c);
    if (*c == '}') {
      addErrorWithCode(kNBJsonErrorTrailingComma, "Trailing comma disallowed in object");
      goto failInside;
    }
  }
  if (*c == '\0') {
    addErrorWithCode(kNBJsonErrorEndOfInput, "End of input while parsing object");
    goto failInside;
  }

member:
  skipWhitespace(c);
  if (*c == '}') {
    ++c;
    goto closeObject;
  }
  if (*c != '"') {
    addErrorWithCode(kNBJsonErrorSyntax, "Object key string expected");
    goto failInside;
  }
  ++c;
  c = scanRestOfString(c, text);
  if (c == nullptr) {
    addErrorWithCode(kNBJsonErrorSyntax, "Object key string expected");
    goto failInside;
  }
  skipWhitespace(c);
  if (*c != ':') {
    addErrorWithCode(kNBJsonErrorSyntax, "Expected ':' separating key and value");
    goto failInside;
  }
  ++c;
  {
    RawMember* m = s.members.push();
    m->key = text;
    slot = &m->value;
  }
  goto value;

failInside:
  // The innermost container failed by itself: only those around it add their error.
  if (s.frames.back().type == JsonType::Object) s.members.truncate(s.frames.back().start);
  s.frames.pop_back();
fail:
  while (!s.frames.empty()) {
    if (s.frames.back().type == JsonType::Array) {
      addErrorWithCode(kNBJsonErrorSyntax, "Expected value while parsing array");
    } else {
      // The member being scanned is the newest one.
      addErrorWithCode(kNBJsonErrorSyntax,
                       "Object value expected for key: " + std::string(s.members.back().key));
      s.members.truncate(s.frames.back().start);
    }
    s.frames.pop_back();
  }
  return false;
}

JsonNode NBJsonParser::closeArray(std::size_t start) {
  SlotStack<JsonNode>& values = scratch_->values;
  const std::size_t count = values.size() - start;
  JsonNode n;
  n.type = JsonType::Array;
  JsonNode* data = nullptr;
  if (count != 0) {
    data = static_cast<JsonNode*>(arena_->allocate(count * sizeof(JsonNode)));
    const JsonNode* from = values.at(start);
    if (count <= 4) {
      for (std::size_t i = 0; i < count; ++i) data[i] = from[i];
    } else {
      std::memcpy(static_cast<void*>(data), from, count * sizeof(JsonNode));
    }
  }
  n.span = {data, static_cast<std::uint32_t>(count), static_cast<std::uint32_t>(count), nullptr};
  values.truncate(start);
  depth_ = static_cast<std::uint32_t>(scratch_->frames.size() - 1);
  return n;
}

JsonNode NBJsonParser::closeObject(std::size_t start) {
  SlotStack<RawMember>& members = scratch_->members;
  RawMember* first = members.at(start);
  const std::size_t total = members.size() - start;
  // A later duplicate key replaces the earlier member's value in its place.
  std::size_t count = 0;
  if (total <= 16) {
    for (std::size_t i = 0; i < total; ++i) {
      std::size_t j = 0;
      while (j < count && first[j].key != first[i].key) ++j;
      if (j < count) {
        first[j].value = first[i].value;
      } else {
        if (count != i) first[count] = first[i];
        ++count;
      }
    }
  } else {
    KeyIndex& index = scratch_->index;
    index.reset(total);
    for (std::size_t i = 0; i < total; ++i) {
      const int j = index.findOrAdd(first[i].key, static_cast<int>(count), first);
      if (j >= 0) {
        first[j].value = first[i].value;
      } else {
        if (count != i) first[count] = first[i];
        ++count;
      }
    }
  }
  JsonNode n;
  n.type = JsonType::Object;
  void* data = nullptr;
  if (count != 0) {
    data = arena_->allocate(count * sizeof(RawMember));
    std::memcpy(data, first, count * sizeof(RawMember));
  }
  n.span = {data, static_cast<std::uint32_t>(count), static_cast<std::uint32_t>(count), nullptr};
  members.truncate(start);
  depth_ = static_cast<std::uint32_t>(scratch_->frames.size() - 1);
  return n;
}

char* NBJsonParser::scanRestOfString(char* c, std::string_view& out) {
  char* const start = c;
  char* p = findStop(c);
  if (*p == '"') {
    out = std::string_view(start, static_cast<std::size_t>(p - start));
    return p + 1;
  }
  // Escapes: decode in place; the text only ever shrinks.
  char* w = p;
  for (;;) {
    const char ch = *p;
    if (ch == '"') {
      out = std::string_view(start, static_cast<std::size_t>(w - start));
      return p + 1;
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
          if (!scanUnicodeChar(p, w)) {
            addErrorWithCode(kNBJsonErrorUnicode, "Broken unicode character");
            return nullptr;
          }
          break;
        default:
          addErrorWithCode(kNBJsonErrorEscape,
                           withHex("Illegal escape sequence '0x%x'",
                                   static_cast<unsigned char>(escape)));
          return nullptr;
      }
      if (*p == '\0') {
        addErrorWithCode(kNBJsonErrorEndOfInput, "Unexpected EOF while parsing string");
        return nullptr;
      }
      continue;
    }
    if (static_cast<unsigned char>(ch) < 0x20) {
      addErrorWithCode(kNBJsonErrorControlCharacter,
                       withHex("Unescaped control character '0x%x'", static_cast<unsigned char>(ch)));
      return nullptr;
    }
    char* const runEnd = findStop(p);
    std::memmove(w, p, static_cast<std::size_t>(runEnd - p));
    w += runEnd - p;
    p = runEnd;
  }
}

bool NBJsonParser::scanHexQuad(char*& c, unsigned& out) {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hexValue(c[i]);
    if (digit < 0) {
      addErrorWithCode(kNBJsonErrorUnicode, "Missing hex digit in quad");
      return false;
    }
    value = value * 16 + static_cast<unsigned>(digit);
  }
  c += 4;
  out = value;
  return true;
}

bool NBJsonParser::scanUnicodeChar(char*& c, char*& write) {
  unsigned high;
  if (!scanHexQuad(c, high)) {
    addErrorWithCode(kNBJsonErrorUnicode, "Missing hex quad");
    return false;
  }
  unsigned codePoint = high;
  if (high >= 0xDC00 && high <= 0xDFFF) {
    addErrorWithCode(kNBJsonErrorUnicode, "Invalid high character in surrogate pair");
    return false;
  }
  if (high >= 0xD800 && high <= 0xDBFF) {
    unsigned low;
    if (c[0] != '\\' || c[1] != 'u') {
      addErrorWithCode(kNBJsonErrorUnicode, "Missing low character in surrogate pair");
      return false;
    }
    c += 2;
    if (!scanHexQuad(c, low)) {
      addErrorWithCode(kNBJsonErrorUnicode, "Missing low character in surrogate pair");
      return false;
    }
    if (low < 0xDC00 || low > 0xDFFF) {
      addErrorWithCode(kNBJsonErrorUnicode, "Invalid low surrogate char");
      return false;
    }
    codePoint = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
  }
  write = appendUtf8(write, codePoint);
  return true;
}

char* NBJsonParser::scanNumber(char* cursor, JsonNode& out) {
  const char* c = cursor;
  const char* const start = c;
  bool negative = false;
  if (*c == '-') {
    negative = true;
    ++c;
    if (!isDigit(*c)) {
      addErrorWithCode(kNBJsonErrorNumber, "No digits after initial minus");
      return nullptr;
    }
  }
  // Digits go straight into a 64-bit mantissa, eight at a time where possible;
  // numbers of more than 19 digits are read again by the exact 128-bit reader.
  std::uint64_t mantissa = 0;
  int digits = 0;
  int fractionDigits = 0;
  if (*c == '0') {
    ++c;
    if (isDigit(*c)) {
      addErrorWithCode(kNBJsonErrorNumber, "Leading 0 disallowed in number");
      return nullptr;
    }
  } else {
    const std::size_t n = scanDigits(c, mantissa);
    digits = static_cast<int>(std::min<std::size_t>(n, 1000));
    c += n;
  }
  if (*c == '.') {
    ++c;
    if (!isDigit(*c)) {
      addErrorWithCode(kNBJsonErrorNumber, "No digits after decimal point");
      return nullptr;
    }
    // Leading zeros of a fraction count as digits here too: such a long number
    // merely takes the exact reader below.
    const std::size_t n = scanDigits(c, mantissa);
    c += n;
    fractionDigits = static_cast<int>(std::min<std::size_t>(n, 100000000));
    digits += std::min(fractionDigits, 1000);
  }
  long exponent = 0;
  if ((*c | 0x20) == 'e') {
    ++c;
    bool negativeExponent = false;
    if (*c == '+' || *c == '-') negativeExponent = *c++ == '-';
    if (!isDigit(*c)) {
      addErrorWithCode(kNBJsonErrorNumber, "No digits after exponent");
      return nullptr;
    }
    do {
      if (exponent < 100000000) exponent = exponent * 10 + (*c - '0');
      ++c;
    } while (isDigit(*c));
    if (negativeExponent) exponent = -exponent;
  }
  char* const next = cursor + (c - cursor);

  out.type = JsonType::Number;
  if (digits <= 19) {
    const long total = exponent - fractionDigits;
    if (mantissa == 0) {
      out.number = NBDecimal();
      return next;
    }
    if (total >= NBDecimal::kMinExponent && total <= NBDecimal::kMaxExponent) {
      out.number = NBDecimal::fromSmall(negative, mantissa, static_cast<int>(total));
      return next;
    }
    if (total > -1000000 && total < 1000000) {
      if (auto value = NBDecimal::fromParts(negative, mantissa, static_cast<int>(total))) {
        out.number = *value;
        return next;
      }
    }
  } else if (auto value = NBDecimal::fromString(
                 std::string_view(start, static_cast<std::size_t>(c - start)))) {
    out.number = *value;
    return next;
  }
  addErrorWithCode(kNBJsonErrorNumber, "Failed creating decimal instance");
  return nullptr;
}

}  // namespace nb
