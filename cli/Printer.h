// Printer writes what a command has to say: its result as readable text or, with
// --json, as one line of JSON on stdout; failures as "nb: message" on stderr or,
// with --json, as {"error": message, "exit_code": n} on stdout, so a script
// reading stdout always gets one JSON value. Streams are not owned.
#pragma once

#include <iosfwd>
#include <string>

#include "nb/Private/JsonFramework/JsonValue.h"

namespace nb::cli {

class Printer {
 public:
  Printer(bool json, std::ostream& out, std::ostream& err);

  bool json() const { return json_; }
  // The result: `value` (an object or array) in JSON mode, else `plain` unless empty.
  void result(const JsonValue& value, const std::string& plain);
  // A failure; returns `exitCode` so commands can `return printer.error(...)`.
  int error(const std::string& message, int exitCode);
  // A side note for a person (where a file went, a prompt's context); stderr,
  // and only in plain mode: JSON results carry the same facts.
  void note(const std::string& text);

 private:
  bool json_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace nb::cli
