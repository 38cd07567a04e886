// NBJSON is the codec's facade for applications: it owns one parser and one
// writer, forwards to them and, when a call fails, takes over the component's
// error trace and can hand out its last error (which leads back to the first).
// Its maxDepth is the parser's; setting it sets both. One thread at a time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "nb/Private/JsonFramework/NBJsonParser.h"
#include "nb/Private/JsonFramework/NBJsonWriter.h"

namespace nb {

class NBJSON : public NBJsonBase {
 public:
  NBJSON();

  // Writing. `error`, when given, receives the last error of a failed call.
  std::optional<std::string> stringWithObject(const JsonValue& value);
  std::optional<std::string> stringWithObject(const JsonValue& value, bool allowScalar,
                                              ErrorRef* error);
  std::optional<std::string> stringWithFragment(const JsonValue& value, ErrorRef* error);
  std::optional<std::string> stringWithObject(const JsonValue& value, ErrorRef* error);

  // Parsing, likewise.
  std::optional<JsonValue> objectWithString(std::optional<std::string_view> text);
  std::optional<JsonValue> objectWithString(std::optional<std::string_view> text,
                                            bool allowScalar, ErrorRef* error);
  std::optional<JsonValue> fragmentWithString(std::optional<std::string_view> text,
                                              ErrorRef* error);
  std::optional<JsonValue> objectWithString(std::optional<std::string_view> text,
                                            ErrorRef* error);

  void setMaxDepth(std::uint32_t maxDepth) override;
  bool humanReadable() const { return jsonWriter_.humanReadable(); }
  void setHumanReadable(bool value) { jsonWriter_.setHumanReadable(value); }
  bool sortKeys() const { return jsonWriter_.sortKeys(); }
  void setSortKeys(bool value) { jsonWriter_.setSortKeys(value); }

  NBJsonParser& jsonParser() { return jsonParser_; }
  NBJsonWriter& jsonWriter() { return jsonWriter_; }

 private:
  // Takes over `component`'s trace and hands its last error to `error`.
  void takeTrace(const NBJsonBase& component, ErrorRef* error);

  NBJsonParser jsonParser_;
  NBJsonWriter jsonWriter_;
};

}  // namespace nb
