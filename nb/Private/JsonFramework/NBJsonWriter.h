// NBJsonWriter turns a JsonValue into JSON text: compact, or one element per
// indented line (humanReadable), with object members in insertion order or sorted
// by key (sortKeys). Numbers are written as their exact plain decimal text. The
// value type holds no NaN or infinity (NBDecimal::fromDouble refuses them), so
// none can reach the text. Failures return nothing and leave errors in
// errorTrace(). Reusable; one thread at a time.
#pragma once

#include <optional>
#include <string>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/JsonFramework/NBJsonBase.h"

namespace nb {

class NBJsonWriter : public NBJsonBase {
 public:
  // Only an array or an object; anything else is error 4 "Not valid type for JSON".
  std::optional<std::string> stringWithObject(const JsonValue& value);
  // Any value.
  std::optional<std::string> stringWithFragment(const JsonValue& value);

  bool humanReadable() const { return humanReadable_; }
  void setHumanReadable(bool humanReadable) { humanReadable_ = humanReadable; }
  bool sortKeys() const { return sortKeys_; }
  void setSortKeys(bool sortKeys) { sortKeys_ = sortKeys; }

  // A line feed and two spaces per level of the current depth.
  std::string indent() const;

 private:
  class Output;

  bool appendValue(const JsonValue& value, Output& out);
  // A non-empty array or object.
  template <bool kHuman, bool kSorted>
  bool appendTree(const JsonValue& root, Output& out);
  void appendScalar(const JsonValue& value, Output& out);
  // A string with any bytes, escaped where needed.
  void appendGeneralString(std::string_view text, Output& out);
  // Reports nesting deeper than maxDepth().
  void failLevel();

  bool humanReadable_ = false;
  bool sortKeys_ = false;
};

}  // namespace nb
