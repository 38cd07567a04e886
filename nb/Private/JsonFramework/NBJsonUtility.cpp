#include "nb/Private/JsonFramework/NBJsonUtility.h"

#include "nb/Private/JsonFramework/NBJsonParser.h"
#include "nb/Private/JsonFramework/NBJsonWriter.h"

namespace nb {

std::optional<JsonValue> NBJsonUtility::jsonValueFromString(std::string_view text) {
  NBJsonParser parser;
  return parser.objectWithString(text);
}

std::optional<std::string> NBJsonUtility::jsonValueFromObject(const JsonValue& value) {
  NBJsonWriter writer;
  return writer.stringWithObject(value);
}

}  // namespace nb
