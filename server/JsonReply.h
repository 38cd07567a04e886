// JsonReply: builds the small JSON objects the service answers with, keys in
// the order added. Only a writer for our own replies; values are strings,
// integers, booleans or nested replies. A plain value; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nb::server {

class JsonReply {
 public:
  JsonReply& text(std::string_view key, std::string_view value);
  JsonReply& number(std::string_view key, std::int64_t value);
  JsonReply& boolean(std::string_view key, bool value);
  JsonReply& object(std::string_view key, const JsonReply& value);
  JsonReply& array(std::string_view key, const std::vector<JsonReply>& values);

  std::string str() const { return "{" + body_ + "}"; }

  // A reply carrying only an error keyword: {"msg":"..."}.
  static std::string message(std::string_view keyword);

 private:
  void key(std::string_view key);
  std::string body_;
};

}  // namespace nb::server
