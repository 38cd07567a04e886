// NBJsonParser reads JSON text into a JsonValue. A failed call returns nothing
// and leaves its errors in errorTrace(), innermost first, each wrapped by the
// error of the construct around it. Numbers keep their exact decimal value.
// Reusable; each call starts a fresh trace. One thread at a time (NBJsonUtility
// makes a fresh parser per call). Input holding a NUL byte is read up to it.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/JsonFramework/NBJsonBase.h"

namespace nb {

namespace detail {
struct JsonParserStacks;
}

class NBJsonParser : public NBJsonBase {
 public:
  NBJsonParser();
  ~NBJsonParser() override;

  // Any JSON value, scalars included. nullopt for an absent input (error 12).
  std::optional<JsonValue> fragmentWithString(std::optional<std::string_view> text);
  // Only an object or an array; a scalar is error 4 "Valid fragment, but not JSON".
  std::optional<JsonValue> objectWithString(std::optional<std::string_view> text);

 private:
  // Scans one value at `c` into `out` and advances `c` past it.
  bool scanValue(char*& c, detail::JsonNode& out);
  bool scanIsAtEnd(char*& c);

  std::unique_ptr<detail::JsonArena> arena_;
  std::unique_ptr<detail::JsonParserStacks> stacks_;
};

}  // namespace nb
