#include "nb/Private/JsonFramework/internal/JsonParserStacks.h"

#include <cstring>

#include "nb/Private/JsonFramework/internal/JsonWords.h"

namespace nb::detail {

namespace {

// A hash of the key from its length and its first and last eight bytes, read as
// words. Keys lie in the parser's padded copy of the text, so a short key's word
// may be read in full and masked.
std::uint64_t keyHash(std::string_view key) {
  const std::size_t n = key.size();
  std::uint64_t first, last;
  if (n >= 8) {
    first = loadWord(key.data());
    last = loadWord(key.data() + n - 8);
  } else {
    first = n == 0 ? 0 : loadWord(key.data()) & (~std::uint64_t{0} >> (64 - 8 * n));
    last = 0;
  }
  std::uint64_t h = (first ^ (n * 0x9E3779B97F4A7C15ull)) * 0xFF51AFD7ED558CCDull;
  h = (h ^ (h >> 32) ^ last) * 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 29);
}

// The first of the `count` kept members whose key is member i's, or `count`
// when there is none: each is looked at.
inline std::size_t findKept(const RawMember* first, std::size_t i, std::size_t count) {
  std::size_t j = 0;
  while (j < count && first[j].key != first[i].key) ++j;
  return j;
}

// Member i found its key at kept member j: a duplicate (j < count), whose value
// goes to the kept member in its place, or a new key (j == count), kept as the
// count-th member.
inline void keepOrMerge(RawMember* first, std::size_t i, std::size_t j, std::size_t& count) {
  if (j < count) {
    first[j].value = first[i].value;
    return;
  }
  if (count != i) first[count] = first[i];
  ++count;
}

}  // namespace

int KeyIndex::findOrAdd(std::string_view key, int position, const RawMember* members) {
  const std::uint64_t h = keyHash(key);
  for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
    if (slots_[i] < 0) {
      slots_[i] = position;
      return -1;
    }
    if (members[slots_[i]].key == key) return slots_[i];
  }
}

void KeyIndex::reset(std::size_t count) {
  std::size_t size = 64;
  while (size < count * 2) size *= 2;
  slots_.assign(size, -1);
  mask_ = size - 1;
}

// The number of members left in `first` once each later duplicate key has given
// its value to the first member with that key, for objects of more than 16
// members. Kept out of closeObject, whose small-object loop is the common path.
[[gnu::noinline]] std::size_t JsonParserStacks::dropDuplicatesOfLarge(RawMember* first,
                                                                      std::size_t total) {
  std::size_t count = 0;
  if (total <= 64) {
    // A 1024-bit map of the keys' hashes seen so far: a key whose bit is clear is
    // new at once, and only the rest are looked for among the kept members.
    std::uint64_t seen[16] = {};
    for (std::size_t i = 0; i < total; ++i) {
      const std::uint64_t h = keyHash(first[i].key) >> 54;
      const std::uint64_t bit = std::uint64_t{1} << (h & 63);
      const std::size_t j = (seen[h >> 6] & bit) != 0 ? findKept(first, i, count) : count;
      seen[h >> 6] |= bit;
      keepOrMerge(first, i, j, count);
    }
    return count;
  }
  index.reset(total);
  for (std::size_t i = 0; i < total; ++i) {
    const int j = index.findOrAdd(first[i].key, static_cast<int>(count), first);
    keepOrMerge(first, i, j >= 0 ? static_cast<std::size_t>(j) : count, count);
  }
  return count;
}

JsonParserStacks::Block JsonParserStacks::closeObject(std::size_t start, JsonArena& arena) {
  RawMember* first = members.at(start);
  const std::size_t total = members.size() - start;
  std::size_t count = 0;
  if (total <= 16) {
    for (std::size_t i = 0; i < total; ++i) keepOrMerge(first, i, findKept(first, i, count), count);
  } else {
    count = dropDuplicatesOfLarge(first, total);
  }
  void* data = nullptr;
  if (count != 0) {
    data = arena.allocate(count * sizeof(RawMember));
    if (count <= 8) {
      copyHalves(data, first, 3 * count);  // members just scanned: see storeNode
    } else {
      std::memcpy(data, first, count * sizeof(RawMember));
    }
  }
  members.truncate(start);
  return {data, count};
}

}  // namespace nb::detail
