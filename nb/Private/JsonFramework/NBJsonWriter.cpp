#include "nb/Private/JsonFramework/NBJsonWriter.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nb {

// The text being written: a string grown geometrically and filled through a raw
// cursor, so that each append is a bounds check and a copy.
class NBJsonWriter::Output {
 public:
  Output() { text_.resize(4096); pos_ = text_.data(); end_ = pos_ + text_.size(); }

  // Makes room for `n` more bytes and returns where they go.
  char* reserve(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) grow(n);
    return pos_;
  }
  void commit(char* newPos) { pos_ = newPos; }
  void put(char c) { *reserve(1) = c, ++pos_; }
  void put(std::string_view s) {
    char* p = reserve(s.size());
    std::memcpy(p, s.data(), s.size());
    pos_ = p + s.size();
  }
  std::string finish() {
    text_.resize(static_cast<std::size_t>(pos_ - text_.data()));
    return std::move(text_);
  }

 private:
  void grow(std::size_t n) {
    const std::size_t used = static_cast<std::size_t>(pos_ - text_.data());
    text_.resize(std::max(text_.size() * 2, used + n));
    pos_ = text_.data() + used;
    end_ = text_.data() + text_.size();
  }

  std::string text_;
  char* pos_;
  char* end_;
};

namespace {

bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

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
  while (i < n && !needsEscape(static_cast<unsigned char>(text[i]))) ++i;
  return i;
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
  ++depth_;
  if (maxDepth() != 0 && depth_ > maxDepth()) {
    addErrorWithCode(kNBJsonErrorDepth, "Nested too deep");
    return false;
  }
  return true;
}

bool NBJsonWriter::appendValue(const JsonValue& value, Output& out) {
  switch (value.type()) {
    case JsonValue::Type::Object:
      return appendDictionary(value, out);
    case JsonValue::Type::Array:
      return appendArray(value, out);
    case JsonValue::Type::String:
      appendString(value.stringValue(), out);
      return true;
    case JsonValue::Type::Number: {
      char* p = out.reserve(NBDecimal::maxTextLength());
      out.commit(value.decimalValue().writeTo(p));
      return true;
    }
    case JsonValue::Type::Bool:
      out.put(value.boolValue() ? std::string_view("true") : std::string_view("false"));
      return true;
    case JsonValue::Type::Null:
      out.put("null");
      return true;
  }
  return false;
}

bool NBJsonWriter::appendArray(const JsonValue& value, Output& out) {
  if (!enterLevel()) return false;
  out.put('[');
  bool first = true;
  for (const JsonValue& element : value) {
    if (!first) out.put(',');
    first = false;
    if (humanReadable_) appendIndent(out);
    if (!appendValue(element, out)) return false;
  }
  --depth_;
  if (humanReadable_ && value.size() != 0) appendIndent(out);
  out.put(']');
  return true;
}

bool NBJsonWriter::appendDictionary(const JsonValue& value, Output& out) {
  if (!enterLevel()) return false;
  out.put('{');
  const auto members = value.members();
  std::vector<const JsonMember*> order;
  if (sortKeys_) {
    order.reserve(members.size());
    for (const JsonMember& m : members) order.push_back(&m);
    std::sort(order.begin(), order.end(),
              [](const JsonMember* a, const JsonMember* b) { return a->key < b->key; });
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    const JsonMember& m = sortKeys_ ? *order[i] : members[i];
    if (i != 0) out.put(',');
    if (humanReadable_) appendIndent(out);
    appendString(m.key, out);
    out.put(':');
    if (!appendValue(m.value, out)) {
      addErrorWithCode(kNBJsonErrorUnsupported,
                       "Unsupported value for key " + std::string(m.key) + " in object");
      return false;
    }
  }
  --depth_;
  if (humanReadable_ && !members.empty()) appendIndent(out);
  out.put('}');
  return true;
}

void NBJsonWriter::appendString(std::string_view text, Output& out) {
  static const char kHex[] = "0123456789abcdef";
  char* p = out.reserve(text.size() + 2);
  *p++ = '"';
  std::size_t i = 0;
  for (;;) {
    const std::size_t stop = findEscape(text, i);
    std::memcpy(p, text.data() + i, stop - i);
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

}  // namespace nb
