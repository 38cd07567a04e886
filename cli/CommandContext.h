// CommandContext is what every sub-command of nb works with: the global
// options, the printer, the one place where operations run to their outcome,
// and the checks shared by many commands (consumer, signed-in state, remote
// path form). One per command run; main thread.
#pragma once

#include <future>
#include <memory>
#include <string>
#include <string_view>

#include "cli/Command.h"
#include "cli/FailureText.h"
#include "cli/Printer.h"
#include "cli/ProgressBar.h"
#include "nb/Private/NBConsumer.h"
#include "nb/Status.h"
#include "nb/client/NBClient.h"

namespace nb::cli {

class CommandContext {
 public:
  CommandContext(const GlobalOptions& options, Printer& printer);

  const GlobalOptions& options() const { return options_; }
  Printer& printer() { return printer_; }

  // Runs an Op with `item` to its outcome: the result, or the failure as a
  // Status (the service's message, with a code naming the cause). Every
  // operation of the command goes through here.
  // It runs as the library's blocking call (NBClient), with --timeout as the
  // idle limit; `progress` (not owned, may be null) is drawn from the call's
  // progress callback while this thread waits.
  template <class Op, class Item>
  Result<NBResult> perform(std::shared_ptr<Item> item, ProgressBar* progress = nullptr) {
    Result<NBResult> outcome = client_.call(
        [item](NBOperationDelegate* delegate) { return std::make_shared<Op>(delegate, item); },
        callOptions(progress));
    if (progress != nullptr) progress->finish();
    return CommandContext::outcome(std::move(outcome));
  }

  // Starts an Op with `item` and returns at once; outcome() of the future's
  // value gives what perform() would have returned. Calls started so run at
  // once, side by side.
  template <class Op, class Item>
  std::future<Result<NBResult>> performLater(std::shared_ptr<Item> item) {
    return client_.callFuture(
        [item](NBOperationDelegate* delegate) { return std::make_shared<Op>(delegate, item); },
        callOptions(nullptr));
  }
  // A started call's outcome as perform() reports it.
  static Result<NBResult> outcome(Result<NBResult> raw) {
    if (raw.ok() || raw.status().code() == StatusCode::kTimeout) return raw;
    return FailureText::fromOperationMessage(raw.status().message());
  }

  // The consumer from --consumer-key/--consumer-secret or the environment;
  // an unauthenticated Status saying how to give one when either is missing.
  Result<std::shared_ptr<NBConsumer>> consumer() const;
  // Ok when a file command can run: an access token is stored, and a consumer
  // given on the command line is the one the stored sign-in was made with
  // (another one cannot sign with that token; it is refused, not ignored).
  Status requireSignedIn() const;

  // A progress bar on stderr: drawn when stderr is a terminal, or with --progress.
  ProgressBar progressBar() const;

  // A remote path as the service stores it: with a leading "/", and without
  // the marker "nb:" that names a path remote where a command takes both kinds
  // ("nb:/photos" and "nb:photos" are "/photos", "nb:" is "/").
  static std::string remotePath(std::string_view path);
  // Whether `path` carries that marker.
  static bool markedRemote(std::string_view path);

 private:
  const GlobalOptions& options_;
  Printer& printer_;
  NBCallOptions callOptions(ProgressBar* progress) const;

  const NBClient client_;
};

}  // namespace nb::cli
