// NBJsonUtility holds the two one-call conversions the rest of the library uses:
// JSON text to an object or array, and back. Errors are dropped; use NBJSON to
// read them. Stateless (a fresh parser or writer per call), so any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "nb/Private/JsonFramework/JsonValue.h"

namespace nb {

class NBJsonUtility {
 public:
  // The object or array of `text`; nullopt on any error, a top-level scalar included.
  static std::optional<JsonValue> jsonValueFromString(std::string_view text);
  // Compact, unsorted text of an object or array (nesting up to 512); nullopt otherwise.
  static std::optional<std::string> jsonValueFromObject(const JsonValue& value);
};

}  // namespace nb
