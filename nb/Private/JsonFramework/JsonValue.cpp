#include "nb/Private/JsonFramework/JsonValue.h"

#include <cstdlib>
#include <new>
#include <type_traits>

#include "nb/Private/JsonFramework/JsonArena.h"

namespace nb {

using detail::JsonArena;
using detail::JsonNode;
using detail::JsonType;

static_assert(std::is_trivially_copyable_v<JsonNode>);
static_assert(sizeof(JsonValue) == sizeof(JsonNode));
static_assert(std::is_standard_layout_v<JsonValue>);

namespace detail {

JsonArena::~JsonArena() {
  while (blocks_ != nullptr) {
    Block* previous = blocks_->previous;
    std::free(blocks_);
    blocks_ = previous;
  }
}

void* JsonArena::grow(std::size_t bytes) {
  const std::size_t size = std::max(bytes, nextSize_);
  nextSize_ = std::min<std::size_t>(std::max<std::size_t>(size, 1024) * 2, 64u << 20);
  auto* block = static_cast<Block*>(std::malloc(sizeof(Block) + size));
  if (block == nullptr) throw std::bad_alloc();
  block->previous = blocks_;
  blocks_ = block;
  char* data = reinterpret_cast<char*>(block + 1);
  cursor_ = data + bytes;
  end_ = data + size;
  return data;
}

void JsonArena::absorb(JsonArena& other) {
  if (other.blocks_ == nullptr) return;
  if (blocks_ == nullptr) {
    blocks_ = other.blocks_;
    cursor_ = other.cursor_;
    end_ = other.end_;
  } else {
    // Keep allocating from our own current block; file theirs behind it.
    Block* tail = other.blocks_;
    while (tail->previous != nullptr) tail = tail->previous;
    tail->previous = blocks_->previous;
    blocks_->previous = other.blocks_;
  }
  other.blocks_ = nullptr;
  other.cursor_ = other.end_ = nullptr;
}

}  // namespace detail

namespace {

bool hasStorage(const JsonNode& n) {
  return n.type == JsonType::String || n.type == JsonType::Array || n.type == JsonType::Object;
}

const JsonValue& nullValue() {
  static const JsonValue value;
  return value;
}

JsonNode stringNode(std::string_view text, JsonArena& arena) {
  JsonNode n;
  n.type = JsonType::String;
  n.span = {arena.copyString(text), static_cast<std::uint32_t>(text.size()),
            static_cast<std::uint32_t>(text.size()), nullptr};
  return n;
}

// A copy of `src` whose storage lives in `arena`.
JsonNode cloneInto(const JsonNode& src, JsonArena& arena) {
  switch (src.type) {
    case JsonType::String:
      return stringNode(
          std::string_view(static_cast<const char*>(src.span.data), src.span.size), arena);
    case JsonType::Array: {
      JsonNode n;
      n.type = JsonType::Array;
      const auto* from = static_cast<const JsonNode*>(src.span.data);
      auto* to = static_cast<JsonNode*>(arena.allocate(sizeof(JsonNode) * src.span.size));
      for (std::uint32_t i = 0; i < src.span.size; ++i) to[i] = cloneInto(from[i], arena);
      n.span = {to, src.span.size, src.span.size, nullptr};
      return n;
    }
    case JsonType::Object: {
      JsonNode n;
      n.type = JsonType::Object;
      const auto* from = static_cast<const JsonMember*>(src.span.data);
      auto* to = static_cast<JsonMember*>(arena.allocate(sizeof(JsonMember) * src.span.size));
      for (std::uint32_t i = 0; i < src.span.size; ++i) {
        const char* key = arena.copyString(from[i].key);
        const JsonNode value = cloneInto(JsonValueBuilder::node(from[i].value), arena);
        std::memcpy(static_cast<void*>(&to[i].value), &value, sizeof value);
        to[i].key = std::string_view(key, from[i].key.size());
      }
      n.span = {to, src.span.size, src.span.size, nullptr};
      return n;
    }
    default:
      return src;
  }
}

}  // namespace

JsonValue JsonValueBuilder::root(const JsonNode& node, std::unique_ptr<JsonArena> arena) {
  JsonValue v(node);
  if (hasStorage(node)) v.node_.span.arena = arena.release();
  return v;
}

JsonValue::JsonValue(bool value) noexcept {
  node_.type = Type::Bool;
  node_.boolean = value;
}

JsonValue::JsonValue(const char* text) : JsonValue(std::string_view(text)) {}

JsonValue::JsonValue(std::string_view text) {
  node_.type = Type::String;
  if (text.empty()) {
    node_.span.data = "";
    return;
  }
  auto* arena = new JsonArena(text.size());
  node_ = stringNode(text, *arena);
  node_.span.arena = arena;
}

JsonValue::JsonValue(NBDecimal value) noexcept {
  node_.type = Type::Number;
  node_.number = value;
}

JsonValue JsonValue::array() {
  JsonValue v;
  v.node_.type = Type::Array;
  return v;
}

JsonValue JsonValue::object() {
  JsonValue v;
  v.node_.type = Type::Object;
  return v;
}

JsonValue::JsonValue(const JsonValue& other) : node_(other.node_) {
  if (!hasStorage(other.node_)) return;
  if (other.node_.span.size == 0) {
    node_.span.arena = nullptr;
    return;
  }
  auto arena = std::make_unique<JsonArena>(1024);
  node_ = cloneInto(other.node_, *arena);
  node_.span.arena = arena.release();
}

JsonValue::JsonValue(JsonValue&& other) noexcept : node_(other.node_) {
  other.node_ = JsonNode();
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    this->~JsonValue();
    node_ = other.node_;
    other.node_ = JsonNode();
  }
  return *this;
}

JsonValue::~JsonValue() {
  if (hasStorage(node_)) delete node_.span.arena;
}

const NBDecimal& JsonValue::decimalValue() const {
  static const NBDecimal zero;
  return isNumber() ? node_.number : zero;
}

const JsonValue& JsonValue::operator[](std::size_t index) const {
  const auto items = elements();
  return index < items.size() ? items[index] : nullValue();
}

const JsonValue* JsonValue::find(std::string_view key) const {
  for (const JsonMember& m : members()) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

JsonArena& JsonValue::ensureArena() {
  if (node_.span.arena == nullptr) node_.span.arena = new JsonArena(1024);
  return *node_.span.arena;
}

namespace {

// Moves `value`'s storage into `arena` and returns its node as a tree element.
JsonNode adopt(JsonValue&& value, JsonArena& arena) {
  JsonNode n = JsonValueBuilder::node(value);
  if (hasStorage(n) && n.span.arena != nullptr) {
    arena.absorb(*n.span.arena);
    delete n.span.arena;
  }
  if (hasStorage(n)) n.span.arena = nullptr;
  // The storage now belongs to `arena`: leave `value` as a plain null.
  new (&value) JsonValue();
  return n;
}

// Makes room for one more item of `itemSize` bytes in an array or object node.
void reserveOne(JsonNode& n, JsonArena& arena, std::size_t itemSize) {
  if (n.span.size < n.span.capacity) return;
  const std::uint32_t capacity = n.span.capacity == 0 ? 4 : n.span.capacity * 2;
  void* data = arena.allocate(itemSize * capacity);
  if (n.span.size != 0) std::memcpy(data, n.span.data, itemSize * n.span.size);
  n.span.data = data;
  n.span.capacity = capacity;
}

}  // namespace

void JsonValue::push(JsonValue value) {
  if (isNull()) *this = array();
  if (!isArray()) return;
  JsonArena& arena = ensureArena();
  reserveOne(node_, arena, sizeof(JsonNode));
  const JsonNode n = adopt(std::move(value), arena);
  auto* items = static_cast<JsonNode*>(const_cast<void*>(node_.span.data));
  items[node_.span.size++] = n;
}

void JsonValue::set(std::string_view key, JsonValue value) {
  if (isNull()) *this = object();
  if (!isObject()) return;
  JsonArena& arena = ensureArena();
  auto* members = static_cast<JsonMember*>(const_cast<void*>(node_.span.data));
  for (std::uint32_t i = 0; i < node_.span.size; ++i) {
    if (members[i].key == key) {
      const JsonNode n = adopt(std::move(value), arena);
      std::memcpy(static_cast<void*>(&members[i].value), &n, sizeof n);
      return;
    }
  }
  reserveOne(node_, arena, sizeof(JsonMember));
  members = static_cast<JsonMember*>(const_cast<void*>(node_.span.data));
  JsonMember& slot = members[node_.span.size];
  const char* copied = arena.copyString(key);
  const JsonNode n = adopt(std::move(value), arena);
  std::memcpy(static_cast<void*>(&slot.value), &n, sizeof n);
  slot.key = std::string_view(copied, key.size());
  ++node_.span.size;
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case JsonValue::Type::Null:
      return true;
    case JsonValue::Type::Bool:
      return a.boolValue() == b.boolValue();
    case JsonValue::Type::Number:
      return a.decimalValue() == b.decimalValue();
    case JsonValue::Type::String:
      return a.stringValue() == b.stringValue();
    case JsonValue::Type::Array: {
      const auto x = a.elements(), y = b.elements();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!(x[i] == y[i])) return false;
      }
      return true;
    }
    case JsonValue::Type::Object: {
      const auto x = a.members(), y = b.members();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        // Same order is the common case; otherwise look the key up.
        const JsonValue* other = y[i].key == x[i].key ? &y[i].value : b.find(x[i].key);
        if (other == nullptr || !(x[i].value == *other)) return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace nb
