// NBResult is what an operation hands to operationSuccess: nothing (nil), a
// record, text, raw bytes or a parsed JSON value. Each operation's header says which it sends.
// A cheap value type; records inside are shared with whoever else holds them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/NBRecord.h"

namespace nb {

class NBResult {
 public:
  NBResult() = default;  // nil
  static NBResult record(std::shared_ptr<NBRecord> record);
  static NBResult text(std::string text);
  static NBResult bytes(std::vector<std::uint8_t> bytes);
  static NBResult json(JsonValue value);

  bool isNil() const { return std::holds_alternative<std::monostate>(value_); }

  // The record as T, or nullptr when the result is not a record of that type.
  template <class T>
  std::shared_ptr<T> recordAs() const {
    if (auto* r = std::get_if<std::shared_ptr<NBRecord>>(&value_)) {
      return std::dynamic_pointer_cast<T>(*r);
    }
    return nullptr;
  }
  // The text or bytes, or nullptr when the result holds something else.
  const std::string* textValue() const { return std::get_if<std::string>(&value_); }
  const std::vector<std::uint8_t>* bytesValue() const {
    return std::get_if<std::vector<std::uint8_t>>(&value_);
  }
  // The JSON value, or nullptr when the result holds something else.
  const JsonValue* jsonValue() const {
    const auto* shared = std::get_if<std::shared_ptr<const JsonValue>>(&value_);
    return shared != nullptr ? shared->get() : nullptr;
  }

 private:
  // A JSON tree is shared, not copied, when the result is passed around.
  std::variant<std::monostate, std::shared_ptr<NBRecord>, std::string, std::vector<std::uint8_t>,
               std::shared_ptr<const JsonValue>>
      value_;
};

}  // namespace nb
