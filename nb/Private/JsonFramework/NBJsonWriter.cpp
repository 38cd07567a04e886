#include "nb/Private/JsonFramework/NBJsonWriter.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "nb/Private/JsonFramework/internal/JsonDigits.h"

namespace nb {

// The text being written: a buffer grown with realloc (which moves large blocks
// without copying) and filled through a raw cursor, so that each append is a
// bounds check and a copy. The finished text is copied out once. The buffer is
// kept for the thread's next call, so steady use touches no fresh memory.
class NBJsonWriter::Output {
 public:
  Output() {
    if (cached().data != nullptr) {
      data_ = cached().data;
      end_ = data_ + cached().size;
      cached() = {};
    } else {
      data_ = static_cast<char*>(std::malloc(kInitial));
      if (data_ == nullptr) throw std::bad_alloc();
      end_ = data_ + kInitial;
    }
    pos_ = data_;
  }
  ~Output() {
    const std::size_t size = static_cast<std::size_t>(end_ - data_);
    if (size <= kKeepAtMost && cached().data == nullptr) {
      cached() = {data_, size};
    } else {
      std::free(data_);
    }
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Makes room for `n` more bytes and returns where they go.
  char* reserve(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) grow(n);
    return pos_;
  }
  void commit(char* newPos) { pos_ = newPos; }
  // For loops that keep the cursor in a register: `room` makes sure that `n` bytes
  // fit at `p`, a cursor taken from this output, and returns where they go.
  // Stores through the cursor may alias any char, so such a loop keeps the end
  // of the buffer in a local too (`limit`), which `room` updates when it grows.
  char* cursor() const { return pos_; }
  char* limit() const { return end_; }
  char* room(char* p, std::size_t n, char*& limit) {
    if (static_cast<std::size_t>(limit - p) < n) [[unlikely]] {
      pos_ = p;
      grow(n);
      limit = end_;
      return pos_;
    }
    return p;
  }
  void put(char c) {
    reserve(1);
    *pos_++ = c;
  }
  void put(std::string_view s) {
    char* p = reserve(s.size());
    std::memcpy(p, s.data(), s.size());
    pos_ = p + s.size();
  }
  std::string finish() const { return std::string(data_, static_cast<std::size_t>(pos_ - data_)); }

 private:
  static constexpr std::size_t kInitial = 4096;
  static constexpr std::size_t kKeepAtMost = 16u << 20;
  struct Buffer {
    char* data = nullptr;
    std::size_t size = 0;
  };
  // One spare buffer per thread, freed when the thread ends.
  static Buffer& cached() {
    struct Holder {
      Buffer buffer;
      ~Holder() { std::free(buffer.data); }
    };
    static thread_local Holder holder;
    return holder.buffer;
  }

  void grow(std::size_t n) {
    const std::size_t used = static_cast<std::size_t>(pos_ - data_);
    const std::size_t size = std::max(static_cast<std::size_t>(end_ - data_) * 2, used + n);
    char* data = static_cast<char*>(std::realloc(data_, size));
    if (data == nullptr) throw std::bad_alloc();
    data_ = data;
    pos_ = data + used;
    end_ = data + size;
  }

  char* data_;
  char* pos_;
  char* end_;
};

namespace {

bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Marks (high bit per byte) the bytes of a word that need escaping: control
// characters, quotes and backslashes. Exact for the lowest marked byte; borrows
// can only mark bytes above it.
inline std::uint64_t escapeMarks(std::uint64_t x) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  const std::uint64_t q = x ^ (kOnes * '"'), b = x ^ (kOnes * '\\');
  return (((x - kOnes * 0x20) & ~x) | ((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHigh;
}

#if defined(__SSE2__)
// The bytes of a 16-byte block that need escaping, one bit each.
inline unsigned escapeMask(__m128i x) {
  const __m128i hit = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
      _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F)));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
#endif

// Index of the first byte of text[from..] that must be escaped, or text.size().
std::size_t findEscape(std::string_view text, std::size_t from) {
  const std::size_t n = text.size();
  std::size_t i = from;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const unsigned mask =
        escapeMask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i)));
    if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
  }
#endif
  // Eight bytes at a time: a byte's high bit marks a control character, a quote
  // or a backslash (the lowest marked byte is exact; borrows only mark above it).
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x;
    std::memcpy(&x, text.data() + i, 8);
    const std::uint64_t hit = escapeMarks(x);
    if (hit != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return i + static_cast<std::size_t>(std::countr_zero(hit)) / 8;
      }
      break;
    }
  }
  while (i < n && !needsEscape(static_cast<unsigned char>(text[i]))) ++i;
  return i;
}

// Room that putShortPlainString needs.
constexpr std::size_t kShortStringRoom = 34;

// Whether a string or key of a tree is text the parser took as it stood, without
// escapes: such text needs none either (the parser refuses raw control
// characters, and a quote or backslash would have ended it or been an escape).
// The byte after every string and key is readable, and it is a quote only then:
// the closing quote in the parser's copy of the text. Decoded strings and copies
// are followed by a NUL (see JsonArena::copyString).
inline bool isVerbatim(std::string_view text) { return text.data()[text.size()] == '"'; }

// Writes `text` as a JSON string at `p` when it has at most 32 bytes and none
// needs escaping, the shape of most keys and many values: one or two 16-byte
// blocks are checked (unless the text is verbatim) and copied without a loop.
// Returns the end, or nullptr (nothing written) for any other text. Every string
// and key of a tree has 16 readable bytes from its start (see
// JsonArena::copyString), so a block never reads outside its storage. Needs
// kShortStringRoom bytes of room.
inline char* putShortPlainString(char* p, std::string_view text) {
  const std::size_t n = text.size();
#if defined(__SSE2__)
  const auto* from = reinterpret_cast<const __m128i*>(text.data());
  const __m128i first = _mm_loadu_si128(from);
  if (n <= 16) {
    if (!isVerbatim(text) && (escapeMask(first) & ((1u << n) - 1)) != 0) return nullptr;
    *p = '"';
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 1), first);
  } else if (n <= 32) {
    // The second block ends where the text ends; it may overlap the first.
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + n - 16));
    if (!isVerbatim(text) && (escapeMask(first) | escapeMask(last)) != 0) return nullptr;
    *p = '"';
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 1), first);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 1 + n - 16), last);
  } else {
    return nullptr;
  }
#else
  if (n > 32 || (!isVerbatim(text) && findEscape(text, 0) != n)) return nullptr;
  *p = '"';
  std::memcpy(p + 1, text.data(), n);
#endif
  p[n + 1] = '"';
  return p + n + 2;
}

// Room that putNumber, putBool and "null" need, with a separator before them.
constexpr std::size_t kScalarRoom = std::max(NBDecimal::maxTextLength(), kShortStringRoom) + 1;

// Writes a number at `p` and returns the end. Integers, the common numbers, take
// the digit writer directly.
inline char* putNumber(char* p, const NBDecimal& number) {
  const unsigned __int128 mantissa = number.mantissa();
  if (number.exponent() == 0 && (mantissa >> 64) == 0) {
    *p = '-';
    p += number.isNegative();
    return detail::writeDigits(static_cast<std::uint64_t>(mantissa), p);
  }
  return number.writeTo(p);
}

inline char* putBool(char* p, bool value) {
  if (value) {
    std::memcpy(p, "true", 4);
    return p + 4;
  }
  std::memcpy(p, "false", 5);
  return p + 5;
}

// memcpy for the short runs that strings mostly are, without a library call.
inline void copyBytes(char* dst, const char* src, std::size_t n) {
  if (n > 16) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    std::uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n != 0) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
}

}  // namespace

std::optional<std::string> NBJsonWriter::stringWithObject(const JsonValue& value) {
  if (value.isArray() || value.isObject()) return stringWithFragment(value);
  clearErrorTrace();
  addErrorWithCode(kNBJsonErrorTopLevel, "Not valid type for JSON");
  return std::nullopt;
}

std::optional<std::string> NBJsonWriter::stringWithFragment(const JsonValue& value) {
  clearErrorTrace();
  depth_ = 0;
  Output out;
  if (!appendValue(value, out)) return std::nullopt;
  return out.finish();
}

std::string NBJsonWriter::indent() const {
  std::string text(1 + 2 * static_cast<std::size_t>(depth_), ' ');
  text[0] = '\n';
  return text;
}

void NBJsonWriter::failLevel() { addErrorWithCode(kNBJsonErrorDepth, "Nested too deep"); }

void NBJsonWriter::appendGeneralString(std::string_view text, Output& out) {
  static const char kHex[] = "0123456789abcdef";
  // One reservation for the quotes and the text without escapes; the cursor stays
  // local until the end.
  char* p = out.reserve(text.size() + 2);
  *p++ = '"';
  const bool verbatim = isVerbatim(text);  // then it is copied whole
  std::size_t i = 0;
  for (;;) {
    const std::size_t stop = verbatim ? text.size() : findEscape(text, i);
    copyBytes(p, text.data() + i, stop - i);
    p += stop - i;
    if (stop == text.size()) break;
    // Each escape grows the text by at most five bytes over what was reserved.
    out.commit(p);
    p = out.reserve(6 + (text.size() - stop) + 1);
    const unsigned char c = static_cast<unsigned char>(text[stop]);
    *p++ = '\\';
    switch (c) {
      case '\b': *p++ = 'b'; break;
      case '\t': *p++ = 't'; break;
      case '\n': *p++ = 'n'; break;
      case '\f': *p++ = 'f'; break;
      case '\r': *p++ = 'r'; break;
      case '"': *p++ = '"'; break;
      case '\\': *p++ = '\\'; break;
      default:
        *p++ = 'u';
        *p++ = '0';
        *p++ = '0';
        *p++ = kHex[c >> 4];
        *p++ = kHex[c & 0xF];
    }
    i = stop + 1;
  }
  *p++ = '"';
  out.commit(p);
}

void NBJsonWriter::appendScalar(const JsonValue& value, Output& out) {
  char* p = out.reserve(kScalarRoom);
  switch (value.type()) {
    case JsonValue::Type::String:
      if (char* q = putShortPlainString(p, value.stringValue())) {
        out.commit(q);
      } else {
        appendGeneralString(value.stringValue(), out);
      }
      return;
    case JsonValue::Type::Number:
      out.commit(putNumber(p, value.decimalValue()));
      return;
    case JsonValue::Type::Bool:
      out.commit(putBool(p, value.boolValue()));
      return;
    default:
      out.put("null");
  }
}

bool NBJsonWriter::appendValue(const JsonValue& value, Output& out) {
  if (!value.isArray() && !value.isObject()) {
    appendScalar(value, out);
    return true;
  }
  if (value.size() == 0) {
    out.put(value.isArray() ? "[]" : "{}");
    return true;
  }
  if (humanReadable_) {
    return sortKeys_ ? appendTree<true, true>(value, out) : appendTree<true, false>(value, out);
  }
  return sortKeys_ ? appendTree<false, true>(value, out) : appendTree<false, false>(value, out);
}

// Arrays and objects are written with an explicit stack rather than recursion, so
// that a tree of any depth (maxDepth 0 sets no limit) cannot exhaust the call stack.
// The innermost container lives in local variables and the cursor in a register:
// each element costs one room check, and a comma follows every element, the last
// one being overwritten by the closing bracket.
template <bool kHuman, bool kSorted>
bool NBJsonWriter::appendTree(const JsonValue& root, Output& out) {
  // An open container around the innermost one, at the element it goes on with.
  struct Level {
    const JsonValue* container;
    std::uint32_t next;
    std::size_t sorted;  // start of the object's key order in `order`, with kSorted
  };
  std::vector<Level> levels;
  std::vector<const JsonMember*> order;  // key orders of the open objects, with kSorted

  // The innermost open container.
  const JsonValue* container = &root;
  const JsonValue* elements = nullptr;
  const JsonMember* members = nullptr;
  std::uint32_t next = 0, size = 0;
  std::size_t sorted = 0;
  bool isArray = false;
  auto memberAt = [&](const JsonMember* list, std::size_t start,
                      std::uint32_t i) -> const JsonMember& {
    if constexpr (kSorted) {
      return *order[start + i];
    } else {
      return list[i];
    }
  };
  // Takes `c` up as the innermost container; `enter` is false when it is resumed.
  auto take = [&](const JsonValue* c, bool enter) {
    container = c;
    isArray = c->isArray();
    size = static_cast<std::uint32_t>(c->size());
    if (isArray) {
      elements = c->elements().data();
    } else {
      members = c->members().data();
      if (kSorted && enter) {
        sorted = order.size();
        for (const JsonMember& m : c->members()) order.push_back(&m);
        std::sort(order.begin() + static_cast<std::ptrdiff_t>(sorted), order.end(),
                  [](const JsonMember* a, const JsonMember* b) { return a->key < b->key; });
      }
    }
  };

  // The depth and the limit stay local; `depth_` is brought up to date where it
  // is read (errors) and at the end.
  const std::uint32_t maxLevels = maxDepth() == 0 ? UINT32_MAX : maxDepth();
  std::uint32_t depth = 1;  // the root is always within the limit
  char* limit = out.limit();
  char* p = out.cursor();
  take(&root, true);
  p = out.room(p, 1, limit);
  *p++ = isArray ? '[' : '{';
  for (;;) {
    while (next < size) {
      if constexpr (kHuman) {
        const std::size_t n = 1 + 2 * static_cast<std::size_t>(depth);
        p = out.room(p, n, limit);
        *p = '\n';
        std::memset(p + 1, ' ', n - 1);
        p += n;
      }
      const JsonValue* value;
      if (isArray) {
        value = &elements[next];
        p = out.room(p, kScalarRoom + 1, limit);
      } else {
        const JsonMember& m = memberAt(members, sorted, next);
        value = &m.value;
        p = out.room(p, m.key.size() + kShortStringRoom + 1 + kScalarRoom + 1, limit);
        if (char* q = putShortPlainString(p, m.key)) {
          p = q;
        } else {
          out.commit(p);
          appendGeneralString(m.key, out);
          limit = out.limit();
          p = out.room(out.cursor(), 1 + kScalarRoom + 1, limit);
        }
        *p++ = ':';
      }
      ++next;
      switch (value->type()) {
        case JsonValue::Type::Number:
          p = putNumber(p, value->decimalValue());
          break;
        case JsonValue::Type::Bool:
          p = putBool(p, value->boolValue());
          break;
        case JsonValue::Type::Null:
          std::memcpy(p, "null", 4);
          p += 4;
          break;
        case JsonValue::Type::String:
          if (char* q = putShortPlainString(p, value->stringValue())) {
            p = q;
          } else {
            out.commit(p);
            appendGeneralString(value->stringValue(), out);
            limit = out.limit();
            p = out.room(out.cursor(), 1, limit);
          }
          break;
        case JsonValue::Type::Array:
        case JsonValue::Type::Object:
          if (value->size() == 0 && depth < maxLevels) {
            // An empty container is written like a scalar, without a level of its own.
            p[0] = value->isArray() ? '[' : '{';
            p[1] = value->isArray() ? ']' : '}';
            p += 2;
            break;
          }
          // The next sibling comes after this whole subtree: start fetching its
          // elements or members now, so that they are in cache by then.
          if (next < size) {
            const JsonValue& sibling =
                isArray ? elements[next] : memberAt(members, sorted, next).value;
            if (sibling.isArray()) __builtin_prefetch(sibling.elements().data());
            if (sibling.isObject()) __builtin_prefetch(sibling.members().data());
          }
          levels.push_back({container, next, sorted});
          if (depth++ == maxLevels) {
            depth_ = depth;
            failLevel();
            // Each object around the failure names the member that failed.
            for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
              if (it->container->isObject()) {
                const JsonMember& m =
                    memberAt(it->container->members().data(), it->sorted, it->next - 1);
                addErrorWithCode(kNBJsonErrorUnsupported,
                                 "Unsupported value for key " + std::string(m.key) + " in object");
              }
            }
            return false;
          }
          take(value, true);
          next = 0;
          *p++ = isArray ? '[' : '{';
          continue;
      }
      *p++ = ',';
    }
    // The innermost container is complete: its last comma becomes the bracket.
    --depth;
    --p;
    if constexpr (kHuman) {
      const std::size_t n = 1 + 2 * static_cast<std::size_t>(depth);
      p = out.room(p, n + 2, limit);
      *p = '\n';
      std::memset(p + 1, ' ', n - 1);
      p += n;
    }
    *p++ = isArray ? ']' : '}';
    if (kSorted && !isArray) order.resize(sorted);
    if (levels.empty()) break;
    const Level level = levels.back();
    levels.pop_back();
    take(level.container, false);
    next = level.next;
    sorted = level.sorted;
    p = out.room(p, 1, limit);
    *p++ = ',';
  }
  depth_ = 0;
  out.commit(p);
  return true;
}

}  // namespace nb
