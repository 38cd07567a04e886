#include "nb/Private/JsonFramework/NBJSON.h"

namespace nb {

NBJSON::NBJSON() { setMaxDepth(512); }

void NBJSON::setMaxDepth(std::uint32_t maxDepth) {
  NBJsonBase::setMaxDepth(maxDepth);
  jsonParser_.setMaxDepth(maxDepth);
  jsonWriter_.setMaxDepth(maxDepth);
}

void NBJSON::takeTrace(const NBJsonBase& component, ErrorRef* error) {
  replaceErrorTrace(component.errorTrace());
  if (error != nullptr) *error = lastError();
}

std::optional<std::string> NBJSON::stringWithObject(const JsonValue& value) {
  auto text = jsonWriter_.stringWithObject(value);
  if (!text) takeTrace(jsonWriter_, nullptr);
  return text;
}

std::optional<std::string> NBJSON::stringWithObject(const JsonValue& value, bool allowScalar,
                                                    ErrorRef* error) {
  auto text = allowScalar ? jsonWriter_.stringWithFragment(value)
                          : jsonWriter_.stringWithObject(value);
  if (!text) takeTrace(jsonWriter_, error);
  return text;
}

std::optional<std::string> NBJSON::stringWithFragment(const JsonValue& value, ErrorRef* error) {
  return stringWithObject(value, true, error);
}

std::optional<std::string> NBJSON::stringWithObject(const JsonValue& value, ErrorRef* error) {
  return stringWithObject(value, false, error);
}

std::optional<JsonValue> NBJSON::objectWithString(std::optional<std::string_view> text) {
  auto value = jsonParser_.objectWithString(text);
  if (!value) takeTrace(jsonParser_, nullptr);
  return value;
}

std::optional<JsonValue> NBJSON::objectWithString(std::optional<std::string_view> text,
                                                  bool allowScalar, ErrorRef* error) {
  auto value = allowScalar ? jsonParser_.fragmentWithString(text)
                           : jsonParser_.objectWithString(text);
  if (!value) takeTrace(jsonParser_, error);
  return value;
}

std::optional<JsonValue> NBJSON::fragmentWithString(std::optional<std::string_view> text,
                                                    ErrorRef* error) {
  return objectWithString(text, true, error);
}

std::optional<JsonValue> NBJSON::objectWithString(std::optional<std::string_view> text,
                                                  ErrorRef* error) {
  return objectWithString(text, false, error);
}

}  // namespace nb
