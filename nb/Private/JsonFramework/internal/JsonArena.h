// JsonArena hands out memory for the strings, elements and members of one JSON
// tree and frees it all at once. JsonValueBuilder is the codec's own door into
// JsonValue's layout. Both are internal to the JSON codec; one thread at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

#include "nb/Private/JsonFramework/JsonValue.h"

namespace nb {
namespace detail {

// The text of every empty string and key: 16 readable bytes, not a quote (see
// copyString).
inline constexpr char kEmptyText[16] = {};

class JsonArena {
 public:
  // `firstBlock` sizes the first allocation; later blocks grow geometrically.
  explicit JsonArena(std::size_t firstBlock = 1024) : nextSize_(firstBlock) {}
  ~JsonArena();
  JsonArena(const JsonArena&) = delete;
  JsonArena& operator=(const JsonArena&) = delete;

  // 8-byte aligned, uninitialised.
  void* allocate(std::size_t bytes) {
    bytes = (bytes + 7) & ~static_cast<std::size_t>(7);
    if (bytes > static_cast<std::size_t>(end_ - cursor_)) return grow(bytes);
    void* p = cursor_;
    cursor_ += bytes;
    return p;
  }
  // A copy of `text`. Like every string and key of a tree, it has at least 16
  // readable bytes from its start, so that the writer may take a short one as
  // one 16-byte block, and a readable byte after it, which is a quote only for
  // text the parser took as it stood (see NBJsonWriter's isVerbatim); here a NUL.
  const char* copyString(std::string_view text) {
    if (text.empty()) return kEmptyText;
    char* p = static_cast<char*>(allocate(std::max<std::size_t>(text.size() + 1, 16)));
    std::memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
    return p;
  }
  // Takes over every block of `other`, which is left empty.
  void absorb(JsonArena& other);

 private:
  struct Block {
    Block* previous;
  };
  void* grow(std::size_t bytes);

  Block* blocks_ = nullptr;
  char* cursor_ = nullptr;
  char* end_ = nullptr;
  std::size_t nextSize_;
};

}  // namespace detail

class JsonValueBuilder {
 public:
  static const detail::JsonNode& node(const JsonValue& v) { return v.node_; }
  // A top-level value for `node`, owning `arena` when the node has storage.
  static JsonValue root(const detail::JsonNode& node, std::unique_ptr<detail::JsonArena> arena);
  // A view of `node`, whose storage someone else owns (for a tree element).
  static const JsonValue& view(const detail::JsonNode& node) {
    return *reinterpret_cast<const JsonValue*>(&node);
  }
};

}  // namespace nb
