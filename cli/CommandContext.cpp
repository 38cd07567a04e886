#include "cli/CommandContext.h"

#include <unistd.h>

#include <cstdio>

#include "cli/CallLog.h"
#include "cli/CredentialStore.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/platform/URLRequest.h"

namespace nb::cli {

CommandContext::CommandContext(const GlobalOptions& options, Printer& printer)
    : options_(options), printer_(printer) {
  NBAPIInfo::setSecureFileCalls(options.secure);
  URLRequest::setDefaultMinimumSpeed({options.lowSpeedBytes, options.lowSpeedSeconds});
  CallLog::install(options.verbose);
}

NBCallOptions CommandContext::callOptions(ProgressBar* progress) const {
  NBCallOptions call;
  call.idleTimeout = std::chrono::seconds(options_.timeoutSeconds);
  if (progress != nullptr) {
    call.progress = [progress](std::int64_t done, std::int64_t expected) {
      progress->update(done, expected);
    };
  }
  return call;
}

Result<std::shared_ptr<NBConsumer>> CommandContext::consumer() const {
  if (!options_.consumerKey || options_.consumerKey->empty() || !options_.consumerSecret) {
    return Status::unauthenticated(
        "no consumer: give --consumer-key and --consumer-secret, or set NB_CONSUMER_KEY and "
        "NB_CONSUMER_SECRET");
  }
  return std::make_shared<NBConsumer>(options_.consumerKey, options_.consumerSecret);
}

Status CommandContext::requireSignedIn() const {
  if (!CredentialStore::hasAccessToken()) {
    return Status::unauthenticated("not signed in: run `nb login USER` first");
  }
  const auto stored = NBAPIInfo::instance().consumer();
  if (!stored || !stored->key) return Status::OK();
  const bool keyDiffers = options_.consumerKey && *options_.consumerKey != *stored->key;
  const bool secretDiffers =
      options_.consumerSecret && stored->secret && *options_.consumerSecret != *stored->secret;
  if (keyDiffers || secretDiffers) {
    const char* where = options_.consumerFromCommandLine ? "--consumer-key/--consumer-secret"
                                                         : "NB_CONSUMER_KEY/NB_CONSUMER_SECRET";
    return Status::invalidArgument(
        std::string("the consumer given by ") + where +
        " is not the one the stored sign-in was made with (key " + *stored->key +
        "); its token cannot sign for another consumer. Leave it out, or run `nb login USER` "
        "with it");
  }
  return Status::OK();
}

ProgressBar CommandContext::progressBar() const {
  return ProgressBar(stderr, options_.forceProgress || ::isatty(STDERR_FILENO));
}

bool CommandContext::markedRemote(std::string_view path) { return path.starts_with("nb:"); }

std::string CommandContext::remotePath(std::string_view path) {
  if (markedRemote(path)) path.remove_prefix(3);
  if (!path.empty() && path.front() == '/') return std::string(path);
  std::string absolute;
  absolute.reserve(path.size() + 1);
  return absolute.append(1, '/').append(path);
}

}  // namespace nb::cli
