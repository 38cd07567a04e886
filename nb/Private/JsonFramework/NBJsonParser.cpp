// The parser's structure machine. The scanners it calls live in internal/: strings
// (JsonStringScanner), numbers (JsonNumberScanner), literals (JsonLiteralScanner),
// whitespace (JsonWhitespace); every word and vector reinterpretation of bytes is in
// JsonWords and the stacks are JsonParserStacks.
//
// Invariants the fast paths rely on:
// - The text is copied into the arena and followed by kPadding zero bytes. The
//   first NUL ends the text; it stops every scanning loop (it is not whitespace,
//   not a digit, and it ends a run of plain string bytes). So a scanner at or
//   before the NUL may read a word (8 bytes) or a block (16 bytes) without a
//   bounds check, and may compare a literal's bytes without one.
// - Strings are unescaped in place in that copy and stay there: decoding never
//   writes more bytes than it reads, so a string without escapes costs no copy.
//   Such a string is followed by its closing quote; a decoded one by a NUL, so
//   that the writer can tell text that needs no escaping by the byte after it.
// - A value is written once, straight into its slot: `out` at the top, the top of
//   the element stack inside an array, the newest member inside an object. A push
//   may move a stack, so a slot pointer is used only before the next push; a
//   closing container finds its slot again (JsonParserStacks::close).
// - Scanned nodes are stored as two 16-byte halves (storeNode) and a small
//   container copies them back the same way, so closing one right after its last
//   value never waits for store forwarding. Keys are hashed by whole words, which
//   the padding allows.
// - Nesting uses the explicit frame stack, never recursion, so no input, however
//   deep (maxDepth 0 allows any depth), can exhaust the call stack.
// - On failure the innermost step adds its error, then each open container
//   around it adds its own, innermost first.
#include "nb/Private/JsonFramework/NBJsonParser.h"

#include <cstring>
#include <string>

#include "nb/Private/JsonFramework/internal/JsonArena.h"
#include "nb/Private/JsonFramework/internal/JsonLiteralScanner.h"
#include "nb/Private/JsonFramework/internal/JsonNumberScanner.h"
#include "nb/Private/JsonFramework/internal/JsonParserStacks.h"
#include "nb/Private/JsonFramework/internal/JsonStringScanner.h"
#include "nb/Private/JsonFramework/internal/JsonWhitespace.h"
#include "nb/Private/JsonFramework/internal/JsonWords.h"

namespace nb {

using detail::JsonNode;
using detail::JsonParserStacks;
using detail::JsonType;

namespace {

// Zero bytes after the copied text; see the invariants above.
constexpr std::size_t kPadding = 64;

// One spare set of stacks per thread, so that a fresh parser per call (as
// NBJsonUtility makes) starts with stacks already grown.
std::unique_ptr<JsonParserStacks>& cachedStacks() {
  static thread_local std::unique_ptr<JsonParserStacks> stacks;
  return stacks;
}

std::string inContainer(const char* text, bool isArray) {
  return std::string(text) + (isArray ? "array" : "object");
}

// The most elements scanShortNumberArray takes.
constexpr std::size_t kShortArray = 4;

// An array of up to kShortArray numbers written tightly ("[1.5,-2]"), as in rows
// of coordinates, read at `p` (just after its '['): the numbers go to a local
// block and then to the arena in one piece, without a frame or the stacks. The
// node goes to `slot` and the byte after the ']' comes back. Any other text, or
// any number that is not read inline, returns nullptr having written nothing
// and added no error, so that the caller takes the array the usual way. Out of
// line: inlined into scanValue, it cost the documents without such arrays about
// 1% through the main loop's code.
[[gnu::noinline]] char* scanShortNumberArray(char* p, JsonNode& slot, detail::JsonArena& arena,
                                             NBJsonBase& errors) {
  using detail::JsonNumberScanner;
  union Items {
    JsonNode node[kShortArray];  // left unset: each is written whole before it is read
    Items() {}
  } items;
  std::size_t n = 0;
  for (;;) {
    p = JsonNumberScanner::scanNumber<true>(p, items.node[n], errors);
    if (p == nullptr) return nullptr;
    ++n;
    if (*p == ']') break;
    if (*p != ',' || n == kShortArray || !JsonNumberScanner::isNumberStart(p[1])) return nullptr;
    ++p;
  }
  auto* data = static_cast<JsonNode*>(arena.allocate(n * sizeof(JsonNode)));
  // Node by node in the halves they were stored as (see storeNode); a loop would
  // become a string copy instruction, slow to start for so few bytes.
  detail::copyHalves(data, items.node, 2);
  if (n > 1) detail::copyHalves(data + 1, items.node + 1, 2);
  if (n > 2) detail::copyHalves(data + 2, items.node + 2, 2);
  if (n > 3) detail::copyHalves(data + 3, items.node + 3, 2);
  detail::storeNode(&slot, detail::spanWords(JsonType::Array, data, static_cast<std::uint32_t>(n)));
  return p + 1;
}

}  // namespace

NBJsonParser::NBJsonParser()
    : stacks_(cachedStacks() ? std::move(cachedStacks()) : std::make_unique<JsonParserStacks>()) {}

NBJsonParser::~NBJsonParser() {
  if (!cachedStacks() && stacks_->worthKeeping()) cachedStacks() = std::move(stacks_);
}

std::optional<JsonValue> NBJsonParser::fragmentWithString(std::optional<std::string_view> text) {
  clearErrorTrace();
  if (!text) {
    addErrorWithCode(kNBJsonErrorNilInput, "Input was 'nil'");
    return std::nullopt;
  }
  depth_ = 0;
  // The copy has room for the whole input; the text ends at its first NUL byte.
  arena_ = std::make_unique<detail::JsonArena>(text->size() * 2 + 2 * kPadding);
  char* buffer = static_cast<char*>(arena_->allocate(text->size() + kPadding));
  const std::size_t length = detail::copyUpToNul(buffer, *text);
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
  detail::skipWhitespace(c);
  return *c == '\0';
}

bool NBJsonParser::scanValue(char*& cursor, JsonNode& out) {
  using detail::skipWhitespace;
  JsonParserStacks& s = *stacks_;
  s.clear();
  char* c = cursor;
  JsonNode* slot = &out;  // where the value being scanned goes
  detail::ScannedString string;
  char* key = nullptr;  // of the member being scanned
  bool inArray = false;

value:
  skipWhitespace(c);
valueAfterSpace:
  switch (*c) {
    case '"':
      string = detail::scanRestOfString(++c, *this);
      if (string.end == nullptr) goto fail;
      detail::storeNode(
          slot, detail::spanWords(JsonType::String, c, static_cast<std::uint32_t>(string.size)));
      c = string.end;
      goto next;
    // clang-format off
    case '-': case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      // clang-format on
      if ((c = detail::JsonNumberScanner::scanNumber(c, *slot, *this)) == nullptr) goto fail;
      goto next;
    case '[':
      if (detail::JsonNumberScanner::isNumberStart(c[1]) && withinMaxDepth(s.frames.size() + 1)) {
        if (char* end = scanShortNumberArray(c + 1, *slot, *arena_, *this)) {
          c = end;
          goto next;
        }
      }
      [[fallthrough]];
    case '{':
      inArray = *c++ == '[';
      s.open(inArray);
      depth_ = static_cast<std::uint32_t>(s.frames.size());
      if (!withinMaxDepth(depth_)) {
        addErrorWithCode(kNBJsonErrorDepth, "Nested too deep");
        goto failInside;
      }
      if (*c == '\0') {
        addErrorWithCode(kNBJsonErrorEndOfInput,
                         inContainer("End of input while parsing ", inArray));
        goto failInside;
      }
      goto item;
    default:
      if ((c = detail::scanLiteral(c, *slot, *this)) == nullptr) goto fail;
      goto next;
  }

next:  // A value is complete: go on with the container around it, if any.
  if (s.frames.empty()) {
    cursor = c;
    return true;
  }
  inArray = s.frames.back().isArray;
  if (*c != ',') skipWhitespace(c);  // a separator mostly follows a value at once
  if (*c == ',') {  // optional between items
    ++c;
    skipWhitespace(c);
    if (*c == (inArray ? ']' : '}')) {
      addErrorWithCode(kNBJsonErrorTrailingComma,
                       inContainer("Trailing comma disallowed in ", inArray));
      goto failInside;
    }
    if (*c == '\0') goto endOfInput;
    goto itemAfterSeparator;  // neither whitespace nor the end of the container
  }
  if (*c == '\0') goto endOfInput;
  goto itemAfterSpace;

item:  // The next element or member of the innermost container, or its end.
  skipWhitespace(c);
itemAfterSpace:
  if (*c == (inArray ? ']' : '}')) {
    ++c;
    s.close(*arena_, out);
    depth_ = static_cast<std::uint32_t>(s.frames.size());
    goto next;
  }
itemAfterSeparator:
  if (inArray) {
    slot = s.values.push();
    goto valueAfterSpace;
  }
  if (*c != '"' || (string = detail::scanRestOfString(key = c + 1, *this)).end == nullptr) {
    addErrorWithCode(kNBJsonErrorSyntax, "Object key string expected");
    goto failInside;
  }
  c = string.end;
  skipWhitespace(c);
  if (*c != ':') {
    addErrorWithCode(kNBJsonErrorSyntax, "Expected ':' separating key and value");
    goto failInside;
  }
  ++c;
  {
    detail::RawMember* m = s.members.push();
    m->key = std::string_view(key, string.size);
    slot = &m->value;
  }
  goto value;

endOfInput:
  addErrorWithCode(kNBJsonErrorEndOfInput, inContainer("End of input while parsing ", inArray));
failInside:  // The innermost container failed by itself: only those around it add errors.
  if (!s.frames.back().isArray) s.members.truncate(s.frames.back().start);
  s.frames.pop_back();
fail:
  while (!s.frames.empty()) {
    if (s.frames.back().isArray) {
      addErrorWithCode(kNBJsonErrorSyntax, "Expected value while parsing array");
    } else {  // the member being scanned is the newest one
      addErrorWithCode(kNBJsonErrorSyntax,
                       "Object value expected for key: " + std::string(s.members.back().key));
      s.members.truncate(s.frames.back().start);
    }
    s.frames.pop_back();
  }
  return false;
}

}  // namespace nb
