#include "nb/Private/JsonFramework/JsonValue.h"

#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "nb/Private/JsonFramework/internal/JsonArena.h"

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

// A copy of `src` whose storage lives in `arena`. Iterative, with the nodes still
// to fill on a heap stack, so that no depth of tree can exhaust the call stack.
JsonNode cloneInto(const JsonNode& src, JsonArena& arena) {
  struct Pending {
    const JsonNode* from;
    JsonNode* to;
  };
  JsonNode root;
  std::vector<Pending> pending{{&src, &root}};
  while (!pending.empty()) {
    const Pending p = pending.back();
    pending.pop_back();
    const JsonNode& from = *p.from;
    JsonNode& to = *p.to;
    switch (from.type) {
      case JsonType::String:
        to = stringNode(
            std::string_view(static_cast<const char*>(from.span.data), from.span.size), arena);
        break;
      case JsonType::Array: {
        const auto* items = static_cast<const JsonNode*>(from.span.data);
        auto* copies = static_cast<JsonNode*>(arena.allocate(sizeof(JsonNode) * from.span.size));
        for (std::uint32_t i = 0; i < from.span.size; ++i) pending.push_back({&items[i], &copies[i]});
        to = JsonNode();
        to.type = JsonType::Array;
        to.span = {copies, from.span.size, from.span.size, nullptr};
        break;
      }
      case JsonType::Object: {
        const auto* members = static_cast<const JsonMember*>(from.span.data);
        auto* copies =
            static_cast<JsonMember*>(arena.allocate(sizeof(JsonMember) * from.span.size));
        for (std::uint32_t i = 0; i < from.span.size; ++i) {
          copies[i].key = std::string_view(arena.copyString(members[i].key), members[i].key.size());
          pending.push_back({&JsonValueBuilder::node(members[i].value),
                             const_cast<JsonNode*>(&JsonValueBuilder::node(copies[i].value))});
        }
        to = JsonNode();
        to.type = JsonType::Object;
        to.span = {copies, from.span.size, from.span.size, nullptr};
        break;
      }
      default:
        to = from;
    }
  }
  return root;
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
    node_.span.data = detail::kEmptyText;
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

// Iterative for the same reason as cloneInto: pairs still to compare wait on a stack.
bool operator==(const JsonValue& a, const JsonValue& b) {
  std::vector<std::pair<const JsonValue*, const JsonValue*>> pending{{&a, &b}};
  while (!pending.empty()) {
    const auto [x, y] = pending.back();
    pending.pop_back();
    if (x->type() != y->type()) return false;
    switch (x->type()) {
      case JsonValue::Type::Null:
        break;
      case JsonValue::Type::Bool:
        if (x->boolValue() != y->boolValue()) return false;
        break;
      case JsonValue::Type::Number:
        if (!(x->decimalValue() == y->decimalValue())) return false;
        break;
      case JsonValue::Type::String:
        if (x->stringValue() != y->stringValue()) return false;
        break;
      case JsonValue::Type::Array: {
        const auto xs = x->elements(), ys = y->elements();
        if (xs.size() != ys.size()) return false;
        for (std::size_t i = 0; i < xs.size(); ++i) pending.emplace_back(&xs[i], &ys[i]);
        break;
      }
      case JsonValue::Type::Object: {
        const auto xs = x->members(), ys = y->members();
        if (xs.size() != ys.size()) return false;
        for (std::size_t i = 0; i < xs.size(); ++i) {
          // Same order is the common case; otherwise look the key up.
          const JsonValue* other = ys[i].key == xs[i].key ? &ys[i].value : y->find(xs[i].key);
          if (other == nullptr) return false;
          pending.emplace_back(&xs[i].value, other);
        }
        break;
      }
    }
  }
  return true;
}

}  // namespace nb
