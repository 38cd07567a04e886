#include "nb/operations/internal/NBReply.h"

#include <limits>

#include "nb/Private/JsonFramework/NBJsonUtility.h"

namespace nb {
namespace {

const JsonValue* numberField(const JsonValue& object, std::string_view key) {
  const JsonValue* value = object.isObject() ? object.find(key) : nullptr;
  return (value != nullptr && value->isNumber()) ? value : nullptr;
}

// Integers are exact; a fraction is cut toward zero and values beyond the
// range are clamped, as a platform number's integer conversion does.
std::int64_t clampedInt64(const NBDecimal& number) {
  if (std::optional<std::int64_t> exact = number.toInt64()) return *exact;
  const double value = number.toDouble();
  if (value >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

}  // namespace

std::variant<JsonValue, NBFailure> NBReply::json(const std::optional<std::string>& body) {
  if (!body || body->empty()) return NBFailure{"the service sent an empty reply"};
  std::optional<JsonValue> value = NBJsonUtility::jsonValueFromString(*body);
  if (!value) return NBFailure{"the service's reply is not JSON"};
  return std::move(*value);
}

std::variant<JsonValue, NBFailure> NBReply::object(const std::optional<std::string>& body) {
  auto value = json(body);
  if (auto* parsed = std::get_if<JsonValue>(&value); parsed != nullptr && !parsed->isObject()) {
    return NBFailure{"the service's reply is not a JSON object"};
  }
  return value;
}

std::variant<NBResult, NBFailure> NBReply::jsonResult(const std::optional<std::string>& body) {
  auto value = json(body);
  if (auto* failure = std::get_if<NBFailure>(&value)) return *failure;
  return NBResult::json(std::move(std::get<JsonValue>(value)));
}

std::optional<std::string> NBReply::string(const JsonValue& object, std::string_view key) {
  const JsonValue* value = object.isObject() ? object.find(key) : nullptr;
  if (value == nullptr) return std::nullopt;
  if (value->isString()) return std::string(value->stringValue());
  if (value->isNumber()) return value->decimalValue().toString();
  return std::nullopt;
}

std::int32_t NBReply::int32(const JsonValue& object, std::string_view key) {
  const std::int64_t value = int64(object, key);
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

std::int64_t NBReply::int64(const JsonValue& object, std::string_view key) {
  const JsonValue* value = numberField(object, key);
  return value != nullptr ? clampedInt64(value->decimalValue()) : 0;
}

bool NBReply::boolean(const JsonValue& object, std::string_view key) {
  const JsonValue* value = object.isObject() ? object.find(key) : nullptr;
  if (value == nullptr) return false;
  if (value->isBool()) return value->boolValue();
  if (value->isNumber()) return !value->decimalValue().isZero();
  return false;
}

NBFailure NBReply::notAnObject(std::string_view what) {
  return NBFailure{std::string(what) + " in the service's reply is not a JSON object"};
}

}  // namespace nb
