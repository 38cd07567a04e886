// CommandContext is what every sub-command of nb works with: the parsed
// options, the printer, the runner that performs operations on the main run
// loop, and the checks shared by many commands (consumer, signed-in state,
// remote path form). One per command run; main thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "cli/CommandOptions.h"
#include "cli/OperationRunner.h"
#include "cli/Printer.h"
#include "cli/ProgressBar.h"
#include "nb/Private/NBConsumer.h"

namespace nb::cli {

class CommandContext {
 public:
  CommandContext(const CommandOptions& options, Printer& printer);

  const CommandOptions& options() const { return options_; }
  Printer& printer() { return printer_; }
  OperationRunner& runner() { return runner_; }

  // The consumer from --consumer-key/--consumer-secret or the environment;
  // null when either is missing.
  std::shared_ptr<NBConsumer> consumer() const;
  // Prints why the command cannot run without a consumer; returns the exit code.
  int missingConsumer();
  // Prints why a file command cannot run signed out; returns the exit code.
  int notSignedIn();
  // Prints an operation's failure or time-out; returns the exit code.
  int failed(const OperationOutcome& outcome);

  // A progress bar on stderr: drawn when stderr is a terminal, or with --progress.
  ProgressBar progressBar() const;

  // A remote path as the service stores it: with a leading "/".
  static std::string remotePath(std::string_view path);

 private:
  const CommandOptions& options_;
  Printer& printer_;
  OperationRunner runner_;
};

}  // namespace nb::cli
