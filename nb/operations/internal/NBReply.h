// NBReply reads the parts of a service reply that operations turn into results:
// the body as JSON, and typed fields of a JSON object. A reply that is not JSON,
// or not the object a caller needs, becomes an NBFailure with a clear message
// instead of a half-empty record. Stateless; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/NBResult.h"
#include "nb/operations/NBFailure.h"

namespace nb {

class NBReply {
 public:
  // The body parsed as JSON (any value); absent or unparsable bodies fail.
  static std::variant<JsonValue, NBFailure> json(const std::optional<std::string>& body);
  // The body parsed as a JSON object; anything else fails.
  static std::variant<JsonValue, NBFailure> object(const std::optional<std::string>& body);

  // The body as a JSON success result; absent or unparsable bodies fail.
  static std::variant<NBResult, NBFailure> jsonResult(const std::optional<std::string>& body);

  // Field readers for a JSON object. A missing key, or a value of another
  // kind, gives the stated default.
  // A string field; a number is taken as its decimal text. Absent otherwise.
  static std::optional<std::string> string(const JsonValue& object, std::string_view key);
  // A number as signed 32-bit (values out of range are clamped); 0 otherwise.
  static std::int32_t int32(const JsonValue& object, std::string_view key);
  // A number as signed 64-bit, exact up to 2^63-1 (clamped beyond); 0 otherwise.
  static std::int64_t int64(const JsonValue& object, std::string_view key);
  // A boolean; false otherwise.
  static bool boolean(const JsonValue& object, std::string_view key);

  // The message for an element of a list that is not an object.
  static NBFailure notAnObject(std::string_view what);
};

}  // namespace nb
