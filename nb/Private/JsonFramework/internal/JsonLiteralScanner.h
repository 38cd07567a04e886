// The JSON literals true, false and null, matched as prefixes ("truex" is true
// followed by whatever the caller makes of "x"), and the errors for a value that
// starts with a byte no value starts with.
#pragma once

#include <cstdint>
#include <cstring>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/JsonFramework/NBJsonBase.h"
#include "nb/Private/JsonFramework/internal/JsonWords.h"

namespace nb::detail {

// Scans the value starting at `c`, which is not a string, number, array or
// object, into `out`; returns the byte after it, or nullptr after adding the error.
inline char* scanLiteral(char* c, JsonNode& out, NBJsonBase& errors) {
  switch (*c) {
    case 't':
      if (std::memcmp(c + 1, "rue", 3) != 0) break;
      storeNode(&out, {{1, 0, 0, static_cast<std::uint64_t>(JsonType::Bool)}});
      return c + 4;
    case 'f':
      if (std::memcmp(c + 1, "alse", 4) != 0) break;
      storeNode(&out, {{0, 0, 0, static_cast<std::uint64_t>(JsonType::Bool)}});
      return c + 5;
    case 'n':
      if (std::memcmp(c + 1, "ull", 3) != 0) break;
      storeNode(&out, {{0, 0, 0, static_cast<std::uint64_t>(JsonType::Null)}});
      return c + 4;
    case '+':
      errors.addErrorWithCode(kNBJsonErrorNumber, "Leading + disallowed in number");
      return nullptr;
    case '\0':
      errors.addErrorWithCode(kNBJsonErrorEndOfInput, "Unexpected end of string");
      return nullptr;
    default:
      errors.addErrorWithCode(kNBJsonErrorSyntax, "Unrecognised leading character");
      return nullptr;
  }
  errors.addErrorWithCode(kNBJsonErrorSyntax, *c == 't'   ? "Expected 'true'"
                                              : *c == 'f' ? "Expected 'false'"
                                                          : "Expected 'null'");
  return nullptr;
}

}  // namespace nb::detail
