#include "cli/Printer.h"

#include <ostream>

#include "cli/ExitCode.h"
#include "cli/FailureText.h"
#include "nb/Private/JsonFramework/NBJsonUtility.h"

namespace nb::cli {

Printer::Printer(bool json, std::ostream& out, std::ostream& err)
    : json_(json), out_(out), err_(err) {}

void Printer::result(const JsonValue& value, const std::string& plain) {
  if (json_) {
    out_ << NBJsonUtility::jsonValueFromObject(value).value_or("null") << '\n';
    printedResult_ = true;
  } else if (!plain.empty()) {
    out_ << plain;
    if (plain.back() != '\n') out_ << '\n';
  }
  out_.flush();
}

int Printer::error(const Status& status) {
  const int exitCode = exitCodeFor(status);
  const std::string explanation = FailureText::explanation(status);
  if (json_) {
    if (printedResult_) return exitCode;
    JsonValue value = JsonValue::object();
    value.set("error", JsonValue(status.message()));
    value.set("code", JsonValue(FailureText::machineCode(status)));
    value.set("explanation", JsonValue(explanation.empty() ? status.message() : explanation));
    value.set("exit_code", JsonValue(static_cast<std::int64_t>(exitCode)));
    result(value, "");
  } else {
    err_ << "nb: " << status.message();
    if (!explanation.empty()) err_ << " (" << explanation << ")";
    err_ << '\n';
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
