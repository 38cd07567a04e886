// PropertyValue is one value of the library's small property-list model: a
// boolean, a 64-bit integer, a real, a string, a date, an array or a dictionary
// with string keys. Defaults and archived pasteboard records are made of them.
// Plain value type: copy freely, use from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace nb {

class PropertyValue {
 public:
  using Date = std::chrono::system_clock::time_point;
  using Array = std::vector<PropertyValue>;
  using Dictionary = std::map<std::string, PropertyValue>;
  using Storage = std::variant<bool, std::int64_t, double, std::string, Date, Array, Dictionary>;

  PropertyValue() = default;  // false
  PropertyValue(bool value) : storage_(value) {}
  PropertyValue(int value) : storage_(std::int64_t{value}) {}
  PropertyValue(std::int64_t value) : storage_(value) {}
  PropertyValue(double value) : storage_(value) {}
  PropertyValue(const char* value) : storage_(std::string(value)) {}
  PropertyValue(std::string value) : storage_(std::move(value)) {}
  PropertyValue(Date value) : storage_(value) {}
  PropertyValue(Array value) : storage_(std::move(value)) {}
  PropertyValue(Dictionary value) : storage_(std::move(value)) {}

  // The value as T, or nullptr when it holds another kind.
  template <class T>
  const T* get() const {
    return std::get_if<T>(&storage_);
  }
  const Storage& storage() const { return storage_; }

  bool operator==(const PropertyValue& other) const { return storage_ == other.storage_; }

 private:
  Storage storage_;
};

}  // namespace nb
