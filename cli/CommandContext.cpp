#include "cli/CommandContext.h"

#include <unistd.h>

#include <cstdio>

#include "cli/ExitCode.h"

namespace nb::cli {

CommandContext::CommandContext(const CommandOptions& options, Printer& printer)
    : options_(options), printer_(printer), runner_(std::chrono::seconds(options.timeoutSeconds)) {}

std::shared_ptr<NBConsumer> CommandContext::consumer() const {
  if (!options_.consumerKey || options_.consumerKey->empty() || !options_.consumerSecret) {
    return nullptr;
  }
  return std::make_shared<NBConsumer>(options_.consumerKey, options_.consumerSecret);
}

int CommandContext::missingConsumer() {
  return printer_.error(
      "no consumer: give --consumer-key and --consumer-secret, or set NB_CONSUMER_KEY and "
      "NB_CONSUMER_SECRET",
      kExitNotSignedIn);
}

int CommandContext::notSignedIn() {
  return printer_.error("not signed in: run `nb login USER` first", kExitNotSignedIn);
}

int CommandContext::failed(const OperationOutcome& outcome) {
  if (outcome.kind == OperationOutcome::Kind::kTimeout) {
    return printer_.error(outcome.message, kExitTimeout);
  }
  return printer_.error(outcome.message, kExitService);
}

ProgressBar CommandContext::progressBar() const {
  return ProgressBar(stderr, options_.forceProgress || ::isatty(STDERR_FILENO));
}

std::string CommandContext::remotePath(std::string_view path) {
  if (!path.empty() && path.front() == '/') return std::string(path);
  return "/" + std::string(path);
}

}  // namespace nb::cli
