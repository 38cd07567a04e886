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

Result<JsonValue> NBReply::json(const std::optional<std::string>& body) {
  if (!body || body->empty()) return Status::corruption("the service sent an empty reply");
  std::optional<JsonValue> value = NBJsonUtility::jsonValueFromString(*body);
  if (!value) return Status::corruption("the service's reply is not JSON");
  return std::move(*value);
}

Result<JsonValue> NBReply::object(const std::optional<std::string>& body) {
  Result<JsonValue> value = json(body);
  if (value.ok() && !value->isObject()) {
    return Status::corruption("the service's reply is not a JSON object");
  }
  return value;
}

Result<NBResult> NBReply::jsonResult(const std::optional<std::string>& body) {
  Result<JsonValue> value = json(body);
  if (!value.ok()) return value.status();
  return NBResult::json(std::move(*value));
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

Status NBReply::notAnObject(std::string_view what) {
  return Status::corruption(std::string(what) + " in the service's reply is not a JSON object");
}

}  // namespace nb
