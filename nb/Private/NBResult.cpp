#include "nb/Private/NBResult.h"

namespace nb {

NBResult NBResult::record(std::shared_ptr<NBRecord> record) {
  NBResult r;
  r.value_ = std::move(record);
  return r;
}

NBResult NBResult::text(std::string text) {
  NBResult r;
  r.value_ = std::move(text);
  return r;
}

NBResult NBResult::bytes(std::vector<std::uint8_t> bytes) {
  NBResult r;
  r.value_ = std::move(bytes);
  return r;
}

NBResult NBResult::json(JsonValue value) {
  NBResult r;
  r.value_ = std::make_shared<const JsonValue>(std::move(value));
  return r;
}

}  // namespace nb
