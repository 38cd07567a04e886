// KeyedArchiver turns a PropertyValue into bytes and back, for values kept in
// stores that hold bytes (defaults, pasteboards). Whatever it writes it reads
// back unchanged; malformed input gives an error, never a crash or an exception.
// Stateless; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "nb/platform/PropertyValue.h"

namespace nb {

class KeyedArchiver {
 public:
  // Arrays and dictionaries may nest this deep; deeper values are refused on
  // both sides, so decoding hostile input cannot exhaust the stack.
  static constexpr int kMaxDepth = 64;

  // The bytes of `root`; nothing (with `error` set) when it nests too deep or
  // holds a string too long for the format.
  static std::optional<std::vector<std::uint8_t>> archivedDataWithRootObject(
      const PropertyValue& root, std::string* error = nullptr);
  // The value in `data`; nothing (with `error` set) when the bytes are not an
  // archive written by archivedDataWithRootObject.
  static std::optional<PropertyValue> unarchiveObjectWithData(std::span<const std::uint8_t> data,
                                                              std::string* error = nullptr);
};

}  // namespace nb
