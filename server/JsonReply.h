// JsonReply: the JSON object a service call answers with, keys in the order
// added, built on the library's JSON value and written by its writer. A plain
// value; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nb/Private/JsonFramework/JsonValue.h"

namespace nb::server {

class JsonReply {
 public:
  JsonReply() : value_(JsonValue::object()) {}

  JsonReply& text(std::string_view key, std::string_view value);
  JsonReply& number(std::string_view key, std::int64_t value);
  JsonReply& boolean(std::string_view key, bool value);
  JsonReply& array(std::string_view key, const std::vector<JsonReply>& values);

  std::string str() const;

  // A reply carrying only an error keyword: {"msg":"..."}.
  static std::string message(std::string_view keyword);

 private:
  JsonValue value_;
};

}  // namespace nb::server
