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

class NBJsonParser : public NBJsonBase {
 public:
  NBJsonParser();
  ~NBJsonParser() override;

  // Any JSON value, scalars included. nullopt for an absent input (error 12).
  std::optional<JsonValue> fragmentWithString(std::optional<std::string_view> text);
  // Only an object or an array; a scalar is error 4 "Valid fragment, but not JSON".
  std::optional<JsonValue> objectWithString(std::optional<std::string_view> text);

 public:
  struct Scratch;  // the scanning stacks, defined with the parser

 private:

  // The scan steps read from the cursor `c`: scanValue advances it past the value,
  // the others return the position after what they used, or nullptr on failure.
  bool scanValue(char*& c, detail::JsonNode& out);
  char* scanRestOfString(char* c, std::string_view& out);
  bool scanUnicodeChar(char*& c, char*& write);
  bool scanHexQuad(char*& c, unsigned& out);
  char* scanNumber(char* c, detail::JsonNode& out);
  bool scanIsAtEnd(char*& c);
  detail::JsonNode closeArray(std::size_t start);
  detail::JsonNode closeObject(std::size_t start);

  std::unique_ptr<detail::JsonArena> arena_;
  std::unique_ptr<Scratch> scratch_;
};

}  // namespace nb
