// JsonValue is one JSON value: null, boolean, NBDecimal number, string, array or
// object (members in insertion order; setting an existing key replaces its value).
// A value owns all of its data: a top-level value holds the arena that stores its
// strings, elements and members, so moving one is a few word copies and destroying
// one frees the whole tree at once. Elements reached through a value are read-only
// views that live as long as the value they came from. One thread at a time.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "nb/Private/JsonFramework/NBDecimal.h"

namespace nb {

class JsonValue;
struct JsonMember;

namespace detail {

class JsonArena;

enum class JsonType : std::uint8_t { Null, Bool, Number, String, Array, Object };

// The raw layout of a value, trivially copyable so that the parser can stack and
// move values as plain bytes. `span.arena` is set only on a top-level value.
struct JsonNode {
  struct Span {
    const void* data;  // chars, JsonValue[] or JsonMember[]
    std::uint32_t size;
    std::uint32_t capacity;
    JsonArena* arena;
  };
  union {
    Span span;
    NBDecimal number;
    bool boolean;
  };
  JsonType type;

  JsonNode() noexcept : span{nullptr, 0, 0, nullptr}, type(JsonType::Null) {}
};

}  // namespace detail

class JsonValue {
 public:
  using Type = detail::JsonType;

  JsonValue() noexcept = default;  // null
  JsonValue(bool value) noexcept;
  JsonValue(const char* text);
  JsonValue(std::string_view text);
  JsonValue(const std::string& text) : JsonValue(std::string_view(text)) {}
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  JsonValue(T value) noexcept : JsonValue(NBDecimal(value)) {}
  JsonValue(NBDecimal value) noexcept;
  JsonValue(double) = delete;  // numbers are exact: use NBDecimal::fromDouble

  static JsonValue array();
  static JsonValue object();

  // Copies are deep; moves leave the source null.
  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue();

  Type type() const { return node_.type; }
  bool isNull() const { return node_.type == Type::Null; }
  bool isBool() const { return node_.type == Type::Bool; }
  bool isNumber() const { return node_.type == Type::Number; }
  bool isString() const { return node_.type == Type::String; }
  bool isArray() const { return node_.type == Type::Array; }
  bool isObject() const { return node_.type == Type::Object; }

  // Each accessor expects the matching type; on another type it returns false,
  // zero, an empty string or an empty range.
  bool boolValue() const { return isBool() && node_.boolean; }
  inline const NBDecimal& decimalValue() const;
  inline std::string_view stringValue() const;

  // Elements of an array or members of an object; 0 for any other value.
  std::size_t size() const { return isArray() || isObject() ? node_.span.size : 0; }
  // The element at `index` of an array; a null value when out of range.
  const JsonValue& operator[](std::size_t index) const;
  inline std::span<const JsonValue> elements() const;
  const JsonValue* begin() const { return elements().data(); }
  const JsonValue* end() const { return elements().data() + elements().size(); }
  inline std::span<const JsonMember> members() const;
  // The value of an object's member, or nullptr.
  const JsonValue* find(std::string_view key) const;

  // Appends to an array (a null value becomes an empty array first); ignored on
  // any other type.
  void push(JsonValue value);
  // Adds or replaces an object member (a null value becomes an empty object first);
  // ignored on any other type.
  void set(std::string_view key, JsonValue value);

  // Objects compare as maps: same keys with equal values, in any order.
  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  friend class JsonValueBuilder;
  detail::JsonNode node_;

  explicit JsonValue(const detail::JsonNode& node) noexcept : node_(node) {}
  detail::JsonArena& ensureArena();
};

struct JsonMember {
  std::string_view key;
  JsonValue value;
};

// The accessors the writer and callers use per element, kept inline.
const NBDecimal& JsonValue::decimalValue() const {
  static constexpr NBDecimal kZero;
  return isNumber() ? node_.number : kZero;
}

std::string_view JsonValue::stringValue() const {
  if (!isString()) return {};
  return std::string_view(static_cast<const char*>(node_.span.data), node_.span.size);
}

std::span<const JsonValue> JsonValue::elements() const {
  if (!isArray()) return {};
  return {static_cast<const JsonValue*>(node_.span.data), node_.span.size};
}

std::span<const JsonMember> JsonValue::members() const {
  if (!isObject()) return {};
  return {static_cast<const JsonMember*>(node_.span.data), node_.span.size};
}

}  // namespace nb
