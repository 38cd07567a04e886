// TerminalPrompt asks the person at the terminal for one line: a password with
// echo turned off, or a plain answer such as a verification code. Without a
// terminal it reads the line from stdin, so scripts can pipe the answer in.
// Stateless; call from the main thread.
#pragma once

#include <optional>
#include <string>

namespace nb::cli {

class TerminalPrompt {
 public:
  // The line typed (without its newline), or nothing at end of input.
  static std::optional<std::string> ask(const std::string& prompt, bool secret);
};

}  // namespace nb::cli
