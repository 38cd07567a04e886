// Printer writes what a command has to say: its result as readable text or, with
// --json, as one line of JSON on stdout; failures as "nb: message (explanation)"
// on stderr or, with --json, as {"error", "code", "explanation", "exit_code"} on
// stdout, so a script reading stdout always gets one JSON value. Readable text
// never carries a control character to the terminal raw (names and messages
// come from the server): they are shown escaped. Streams are not owned and
// must outlive the printer. Main thread.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

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
  // Something the user must hear in either mode: "nb: text" on stderr.
  void warning(const std::string& text);
  // Ok, or why the result could not be written (a closed stdout, a full disk).
  Status outputStatus() const;

  // `text` with every control character shown as an escape ("\x1b", "\r",
  // "\n", "\0"; "\u009b" for the C1 controls) and every byte that is not
  // part of valid UTF-8 as "\xNN"; other text unchanged. For text from the
  // server inside a line the command lays out.
  static std::string visible(std::string_view text);

 private:
  bool json_;
  bool printedResult_ = false;
  int outputError_ = 0;  // the errno of the first failed write of the result
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace nb::cli
