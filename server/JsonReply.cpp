#include "server/JsonReply.h"

#include "nb/Private/JsonFramework/NBJsonUtility.h"

namespace nb::server {

JsonReply& JsonReply::text(std::string_view key, std::string_view value) {
  value_.set(key, JsonValue(value));
  return *this;
}

JsonReply& JsonReply::number(std::string_view key, std::int64_t value) {
  value_.set(key, JsonValue(value));
  return *this;
}

JsonReply& JsonReply::boolean(std::string_view key, bool value) {
  value_.set(key, JsonValue(value));
  return *this;
}

JsonReply& JsonReply::array(std::string_view key, const std::vector<JsonReply>& values) {
  JsonValue list = JsonValue::array();
  for (const auto& v : values) list.push(v.value_);
  value_.set(key, std::move(list));
  return *this;
}

std::string JsonReply::str() const {
  // Our replies are shallow objects of strings and numbers: the writer only
  // refuses what we never build, so an empty object is a safe fallback.
  return NBJsonUtility::jsonValueFromObject(value_).value_or("{}");
}

std::string JsonReply::message(std::string_view keyword) {
  return JsonReply().text("msg", keyword).str();
}

}  // namespace nb::server
