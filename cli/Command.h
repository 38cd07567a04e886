// The shape of one nb sub-command: its name, its help line and a function that
// declares the sub-command's own arguments on its parser and returns the code
// that runs with them. The options a declaration binds live in a value the
// returned function owns, so every command has its own options and parser
// set-up and run come from the same table entry (CommandTable).
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "nb/Status.h"

namespace CLI {
class App;
}

namespace nb::cli {

class CommandContext;

// Options every sub-command accepts, before or after its name.
struct GlobalOptions {
  std::string root = "app";
  bool json = false;
  bool forceProgress = false;  // draw the progress bar even when stderr is no terminal
  int timeoutSeconds = 120;    // longest wait without any sign of life from the service
  // Slowest average rate a transfer may keep over a window before it fails
  // (--low-speed); zero bytes a second turns the bound off.
  std::uint32_t lowSpeedBytes = 1024;
  std::uint32_t lowSpeedSeconds = 120;
  bool secure = false;  // every call over HTTPS (--secure, NB_SECURE=1)
  int verbose = 0;      // -v: each call's outcome on stderr; -vv: every request too
  std::optional<std::string> consumerKey;
  std::optional<std::string> consumerSecret;
  bool consumerFromCommandLine =
      false;  // given as --consumer-key rather than taken from the environment
};

// Runs the command once its arguments are parsed. Failures come back as a
// Status; the result has already been printed when it returns ok.
using CommandRun = std::function<Status(CommandContext&)>;

struct CommandEntry {
  const char* name;
  const char* help;
  CommandRun (*declare)(CLI::App& sub);
};

}  // namespace nb::cli
