#include "nb/Private/JsonFramework/internal/JsonNumberScanner.h"

#include <string_view>

namespace nb::detail {

char* JsonNumberScanner::scanUnusualNumber(char* start, char* end, bool negative,
                                           std::size_t digits, std::uint64_t mantissa,
                                           long exponent, JsonNode& out, NBJsonBase& errors) {
  out.type = JsonType::Number;
  if (digits <= 19) {
    if (mantissa == 0) {
      out.number = NBDecimal();
      return end;
    }
    if (exponent > -1000000 && exponent < 1000000) {
      if (auto value = NBDecimal::fromParts(negative, mantissa, static_cast<int>(exponent))) {
        out.number = *value;
        return end;
      }
    }
  } else if (auto value = NBDecimal::fromString(
                 std::string_view(start, static_cast<std::size_t>(end - start)))) {
    out.number = *value;
    return end;
  }
  return fail(errors, "Failed creating decimal instance");
}

char* JsonNumberScanner::fail(NBJsonBase& errors, const char* message) {
  errors.addErrorWithCode(kNBJsonErrorNumber, message);
  return nullptr;
}

}  // namespace nb::detail
