#include "server/JsonReply.h"

#include <cstdio>

namespace nb::server {
namespace {

void appendQuoted(std::string& out, std::string_view s) {
  out.push_back('"');
  for (const char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
          out += escape;
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

}  // namespace

void JsonReply::key(std::string_view key) {
  if (!body_.empty()) body_.push_back(',');
  appendQuoted(body_, key);
  body_.push_back(':');
}

JsonReply& JsonReply::text(std::string_view k, std::string_view value) {
  key(k);
  appendQuoted(body_, value);
  return *this;
}

JsonReply& JsonReply::number(std::string_view k, std::int64_t value) {
  key(k);
  body_ += std::to_string(value);
  return *this;
}

JsonReply& JsonReply::boolean(std::string_view k, bool value) {
  key(k);
  body_ += value ? "true" : "false";
  return *this;
}

JsonReply& JsonReply::object(std::string_view k, const JsonReply& value) {
  key(k);
  body_ += value.str();
  return *this;
}

JsonReply& JsonReply::array(std::string_view k, const std::vector<JsonReply>& values) {
  key(k);
  body_.push_back('[');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) body_.push_back(',');
    body_ += values[i].str();
  }
  body_.push_back(']');
  return *this;
}

std::string JsonReply::message(std::string_view keyword) {
  return JsonReply().text("msg", keyword).str();
}

}  // namespace nb::server
