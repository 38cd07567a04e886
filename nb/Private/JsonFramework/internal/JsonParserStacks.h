// The parser's working stacks: the open containers, the elements and members of
// the containers being scanned, and the key index that finds duplicate keys. A
// container's elements wait on the stacks until it closes, then move into the
// arena in one block of the exact size.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/JsonFramework/internal/JsonArena.h"
#include "nb/Private/JsonFramework/internal/JsonWords.h"

namespace nb::detail {

// A member as the parser builds it. It is copied as bytes into the arena and read
// there as a JsonMember, whose layout it shares.
struct RawMember {
  std::string_view key;
  JsonNode value;
};
static_assert(sizeof(RawMember) == sizeof(JsonMember) && sizeof(RawMember) == 48);
static_assert(offsetof(RawMember, value) == offsetof(JsonMember, value));
static_assert(alignof(RawMember) == alignof(JsonMember));
static_assert(sizeof(JsonNode) == sizeof(JsonValue));

// A stack of plain values that hands out uninitialised slots, so that a scanned
// value is written once, straight into its place. A push may move the stack:
// pointers into it last until the next push.
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

// Open-addressing index of one object's keys, used to find duplicates in large
// objects. The keys must lie in the parser's padded copy of the text.
class KeyIndex {
 public:
  // Slot of `key` among members already added, or -1 after adding it as `position`.
  int findOrAdd(std::string_view key, int position, const RawMember* members);
  void reset(std::size_t count);

 private:
  std::vector<int> slots_;
  std::size_t mask_ = 0;
};

struct JsonParserStacks {
  struct Frame {
    bool isArray;
    std::size_t start;  // first element in `values` or member in `members`
  };
  std::vector<Frame> frames;
  SlotStack<JsonNode> values;
  SlotStack<RawMember> members;
  KeyIndex index;

  void clear() {
    frames.clear();
    values.truncate(0);
    members.truncate(0);
  }
  void open(bool isArray) { frames.push_back({isArray, isArray ? values.size() : members.size()}); }
  // Closes the innermost container: its elements or members move into `arena`,
  // and the node is written to its slot in the container around it, or to `root`.
  void close(JsonArena& arena, JsonNode& root) {
    const Frame frame = frames.back();
    frames.pop_back();
    const Block block =
        frame.isArray ? closeArray(frame.start, arena) : closeObject(frame.start, arena);
    JsonNode* slot = frames.empty()          ? &root
                     : frames.back().isArray ? &values.back()
                                             : &members.back().value;
    storeNode(slot, spanWords(frame.isArray ? JsonType::Array : JsonType::Object, block.data,
                              static_cast<std::uint32_t>(block.count)));
  }
  // Where a closed container's elements or members went; two words, so that it
  // comes back in registers.
  struct Block {
    const void* data;
    std::size_t count;
  };
  // The elements from `start` on, moved into `arena`. Inline: most arrays are
  // closed right after a few scalars, and a call would cost more than the copy.
  Block closeArray(std::size_t start, JsonArena& arena) {
    const std::size_t count = values.size() - start;
    JsonNode* data = nullptr;
    if (count != 0) {
      data = static_cast<JsonNode*>(arena.allocate(count * sizeof(JsonNode)));
      const JsonNode* from = values.at(start);
      if (count <= 4) {
        copyHalves(data, from, 2 * count);  // elements just scanned: see storeNode
      } else {
        std::memcpy(static_cast<void*>(data), from, count * sizeof(JsonNode));
      }
    }
    values.truncate(start);
    return {data, count};
  }
  // The members from `start` on, moved into `arena`; a later duplicate key
  // replaces the earlier member's value in its place.
  Block closeObject(std::size_t start, JsonArena& arena);
  std::size_t dropDuplicatesOfLarge(RawMember* first, std::size_t total);

  // Whether the stacks are small enough to keep for the thread's next parser.
  bool worthKeeping() const { return values.bytes() + members.bytes() <= (16u << 20); }
};

}  // namespace nb::detail
