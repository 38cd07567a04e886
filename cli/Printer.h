// Printer writes what a command has to say: its result as readable text or, with
// --json, as one line of JSON on stdout; failures as "nb: message (explanation)"
// on stderr or, with --json, as {"error", "code", "explanation", "exit_code"} on
// stdout, so a script reading stdout always gets one JSON value. Streams are not
// owned and must outlive the printer.
#pragma once

#include <iosfwd>
#include <string>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Status.h"

namespace nb::cli {

class Printer {
 public:
  Printer(bool json, std::ostream& out, std::ostream& err);

  bool json() const { return json_; }
  // The result: `value` (an object or array) in JSON mode, else `plain` unless empty.
  void result(const JsonValue& value, const std::string& plain);
  // A failure; returns its exit code (exitCodeFor). In JSON mode a command that
  // has already printed its result (a many-file job's outcomes) prints nothing
  // more, so stdout keeps one JSON value per call.
  int error(const Status& status);
  // A side note for a person (where a file went, a hint); stderr, and only in
  // plain mode: JSON results carry the same facts.
  void note(const std::string& text);

 private:
  bool json_;
  bool printedResult_ = false;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace nb::cli
