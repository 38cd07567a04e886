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

// Index of the first byte of text[from..] that must be escaped, or text.size().
std::size_t findEscape(std::string_view text, std::size_t from) {
  const std::size_t n = text.size();
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  for (; i + 16 <= n; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                     _mm_cmpeq_epi8(_mm_max_epu8(x, control), control));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
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

// Writes `text` at `p` as a JSON string between `before` and `after` (0 for none)
// when it has 4 to 16 bytes that need no escaping, the shape of most keys and
// many values: two overlapping words cover it, checked and copied without a loop.
// Returns the end, or nullptr (nothing written) for any other text. Needs room for
// the text and 4 bytes.
inline char* putPlainString(char* p, std::string_view text, char before, char after) {
  const std::size_t n = text.size();
  std::uint64_t a, b;
  if (n >= 8 && n <= 16) {
    std::memcpy(&a, text.data(), 8);
    std::memcpy(&b, text.data() + n - 8, 8);
    if ((escapeMarks(a) | escapeMarks(b)) != 0) return nullptr;
  } else if (n >= 4 && n < 8) {
    std::uint32_t a4, b4;
    std::memcpy(&a4, text.data(), 4);
    std::memcpy(&b4, text.data() + n - 4, 4);
    if (escapeMarks((static_cast<std::uint64_t>(b4) << 32) | a4) != 0) return nullptr;
    a = a4;
    b = b4;
  } else {
    return nullptr;
  }
  *p = before;
  p += before != 0;
  *p++ = '"';
  if (n >= 8) {
    std::memcpy(p, &a, 8);
    std::memcpy(p + n - 8, &b, 8);
  } else {
    const auto a4 = static_cast<std::uint32_t>(a), b4 = static_cast<std::uint32_t>(b);
    std::memcpy(p, &a4, 4);
    std::memcpy(p + n - 4, &b4, 4);
  }
  p += n;
  *p++ = '"';
  *p = after;
  return p + (after != 0);
}

// Room that putScalar needs: a separator and the longest number.
constexpr std::size_t kScalarRoom = NBDecimal::maxTextLength() + 1;

// Writes a number, boolean or null at `p` after `before` (0 for none) and returns
// the end. Integers, the common numbers, take the digit writer directly.
inline char* putScalar(char* p, const JsonValue& value, char before) {
  *p = before;
  p += before != 0;
  switch (value.type()) {
    case JsonValue::Type::Number: {
      const NBDecimal& number = value.decimalValue();
      const unsigned __int128 mantissa = number.mantissa();
      if (number.exponent() == 0 && (mantissa >> 64) == 0) {
        *p = '-';
        p += number.isNegative();
        return detail::writeDigits(static_cast<std::uint64_t>(mantissa), p);
      }
      return number.writeTo(p);
    }
    case JsonValue::Type::Bool:
      if (value.boolValue()) {
        std::memcpy(p, "true", 4);
        return p + 4;
      }
      std::memcpy(p, "false", 5);
      return p + 5;
    default:
      std::memcpy(p, "null", 4);
      return p + 4;
  }
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

void NBJsonWriter::appendIndent(Output& out) {
  const std::size_t n = 1 + 2 * static_cast<std::size_t>(depth_);
  char* p = out.reserve(n);
  *p = '\n';
  std::memset(p + 1, ' ', n - 1);
  out.commit(p + n);
}

bool NBJsonWriter::enterLevel() {
  const bool allowed = levelAllowed();
  ++depth_;
  if (!allowed) {
    addErrorWithCode(kNBJsonErrorDepth, "Nested too deep");
    return false;
  }
  return true;
}

void NBJsonWriter::appendString(std::string_view text, Output& out, char before, char after) {
  if (char* p = putPlainString(out.reserve(text.size() + 4), text, before, after)) {
    out.commit(p);
    return;
  }
  appendGeneralString(text, out, before, after);
}

void NBJsonWriter::appendGeneralString(std::string_view text, Output& out, char before,
                                       char after) {
  static const char kHex[] = "0123456789abcdef";
  // One reservation for the separators, the quotes and the text without escapes;
  // the cursor stays local until the end.
  char* p = out.reserve(text.size() + 4);
  if (before != 0) *p++ = before;
  *p++ = '"';
  std::size_t i = 0;
  for (;;) {
    const std::size_t stop = findEscape(text, i);
    copyBytes(p, text.data() + i, stop - i);
    p += stop - i;
    if (stop == text.size()) break;
    // Each escape grows the text by at most five bytes over what was reserved.
    out.commit(p);
    p = out.reserve(6 + (text.size() - stop) + 2);
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
  if (after != 0) *p++ = after;
  out.commit(p);
}

void NBJsonWriter::appendScalar(const JsonValue& value, Output& out, char before) {
  if (value.isString()) {
    appendString(value.stringValue(), out, before, 0);
    return;
  }
  out.commit(putScalar(out.reserve(kScalarRoom), value, before));
}

// Arrays and objects are written with an explicit stack rather than recursion, so
// that a tree of any depth (maxDepth 0 sets no limit) cannot exhaust the call stack.
bool NBJsonWriter::appendValue(const JsonValue& value, Output& out) {
  if (!value.isArray() && !value.isObject()) {
    appendScalar(value, out, 0);
    return true;
  }
  constexpr std::size_t kUnsorted = static_cast<std::size_t>(-1);
  struct Frame {
    const JsonValue* container;
    std::size_t next;    // index of the next element or member
    std::size_t sorted;  // start of this object's key order in `order`, or kUnsorted
  };
  std::vector<Frame> frames;
  std::vector<const JsonMember*> order;  // key orders of the open objects, with sortKeys
  const bool human = humanReadable_;
  auto memberAt = [&](const Frame& f, std::size_t i) -> const JsonMember& {
    return f.sorted == kUnsorted ? f.container->members()[i] : *order[f.sorted + i];
  };

  // Opens `container` as the innermost frame; false when it is nested too deep.
  auto open = [&](const JsonValue& container) {
    if (!enterLevel()) return false;
    out.put(container.isArray() ? '[' : '{');
    std::size_t sorted = kUnsorted;
    if (sortKeys_ && container.isObject()) {
      sorted = order.size();
      for (const JsonMember& m : container.members()) order.push_back(&m);
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(sorted), order.end(),
                [](const JsonMember* a, const JsonMember* b) { return a->key < b->key; });
    }
    frames.push_back({&container, 0, sorted});
    return true;
  };

  if (!open(value)) return false;
  while (!frames.empty()) {
    Frame& f = frames.back();
    const JsonValue& container = *f.container;
    const bool isArray = container.isArray();
    const std::size_t size = container.size();
    // Scalars are written in this inner loop; a nested container leaves it.
    const JsonValue* nested = nullptr;
    char before = 0;
    while (f.next < size) {
      const std::size_t i = f.next++;
      before = i == 0 ? 0 : ',';
      if (human) {
        if (before != 0) out.put(before);
        before = 0;
        appendIndent(out);
      }
      const JsonValue* element;
      if (isArray) {
        element = &container.elements()[i];
      } else {
        const JsonMember& m = memberAt(f, i);
        element = &m.value;
        static_assert(JsonValue::Type::Null < JsonValue::Type::Number &&
                      JsonValue::Type::Bool < JsonValue::Type::Number &&
                      JsonValue::Type::Number < JsonValue::Type::String);
        if (!human && element->type() <= JsonValue::Type::Number) {
          // A key and a number, boolean or null in one reservation.
          char* p = out.reserve(m.key.size() + 4 + kScalarRoom);
          if (char* q = putPlainString(p, m.key, before, ':')) {
            out.commit(putScalar(q, *element, 0));
            continue;
          }
        }
        appendString(m.key, out, before, ':');
        before = 0;
      }
      if (element->isArray() || element->isObject()) {
        if (element->size() == 0 && levelAllowed()) {
          // An empty container is written like a scalar, without a level of its own.
          char* p = out.reserve(3);
          if (before != 0) *p++ = before;
          p[0] = element->isArray() ? '[' : '{';
          p[1] = element->isArray() ? ']' : '}';
          out.commit(p + 2);
          continue;
        }
        // The next sibling comes after this whole subtree: start fetching its
        // elements or members now, so that they are in cache by then.
        if (i + 1 < size) {
          const JsonValue& sibling =
              isArray ? container.elements()[i + 1] : memberAt(f, i + 1).value;
          if (sibling.isArray()) __builtin_prefetch(sibling.elements().data());
          if (sibling.isObject()) __builtin_prefetch(sibling.members().data());
        }
        nested = element;
        break;
      }
      appendScalar(*element, out, before);
    }
    if (nested == nullptr) {
      --depth_;
      if (human && size != 0) appendIndent(out);
      out.put(isArray ? ']' : '}');
      if (f.sorted != kUnsorted) order.resize(f.sorted);
      frames.pop_back();
      continue;
    }
    if (before != 0) out.put(before);
    if (!open(*nested)) {
      // Each object around the failure names the member that failed.
      for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
        if (it->container->isObject()) {
          addErrorWithCode(kNBJsonErrorUnsupported, "Unsupported value for key " +
                                                        std::string(memberAt(*it, it->next - 1).key) +
                                                        " in object");
        }
      }
      return false;
    }
  }
  return true;
}

}  // namespace nb
