#include "cli/Printer.h"

#include <ostream>

#include "nb/Private/JsonFramework/NBJsonUtility.h"

namespace nb::cli {

Printer::Printer(bool json, std::ostream& out, std::ostream& err)
    : json_(json), out_(out), err_(err) {}

void Printer::result(const JsonValue& value, const std::string& plain) {
  if (json_) {
    out_ << NBJsonUtility::jsonValueFromObject(value).value_or("null") << '\n';
  } else if (!plain.empty()) {
    out_ << plain;
    if (plain.back() != '\n') out_ << '\n';
  }
  out_.flush();
}

int Printer::error(const std::string& message, int exitCode) {
  if (json_) {
    JsonValue value = JsonValue::object();
    value.set("error", JsonValue(message));
    value.set("exit_code", JsonValue(static_cast<std::int64_t>(exitCode)));
    result(value, "");
  } else {
    err_ << "nb: " << message << '\n';
    err_.flush();
  }
  return exitCode;
}

void Printer::note(const std::string& text) {
  if (json_) return;
  err_ << text << '\n';
  err_.flush();
}

}  // namespace nb::cli
