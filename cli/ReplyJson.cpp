#include "cli/ReplyJson.h"

#include "cli/Printer.h"
#include "nb/Private/JsonFramework/NBJsonUtility.h"

namespace nb::cli {
namespace {

// JSON text of any value; the writer takes only containers at the top, so a
// scalar goes inside a one-element array whose brackets are then dropped.
std::string jsonText(const JsonValue& value) {
  if (value.isArray() || value.isObject()) {
    return NBJsonUtility::jsonValueFromObject(value).value_or("");
  }
  JsonValue wrapper = JsonValue::array();
  wrapper.push(value);
  const std::string text = NBJsonUtility::jsonValueFromObject(wrapper).value_or("[]");
  return text.size() >= 2 ? text.substr(1, text.size() - 2) : "";
}

}  // namespace

JsonValue ReplyJson::from(const NBResult& result) {
  if (const JsonValue* json = result.jsonValue()) return *json;
  if (const std::string* text = result.textValue()) {
    if (auto parsed = NBJsonUtility::jsonValueFromString(*text)) return std::move(*parsed);
    JsonValue value = JsonValue::object();
    value.set("reply", JsonValue(*text));
    return value;
  }
  return JsonValue::object();
}

std::string ReplyJson::plain(const JsonValue& value) {
  if (!value.isObject())
    return value.isString() ? std::string(value.stringValue()) : jsonText(value);
  std::string text;
  for (const auto& [key, member] : value.members()) {
    // A value is shown on its key's line: a line feed in it is escaped.
    text += Printer::visible(key) + ": " +
            (member.isString() ? Printer::visible(member.stringValue()) : jsonText(member)) + "\n";
  }
  return text;
}

}  // namespace nb::cli
