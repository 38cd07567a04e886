// The nb command's exit codes, distinct per kind of failure so that scripts can
// tell a typo from a refused login from a network outage. Listed in `nb --help`
// and in the README; exitCodeFor maps a failure's Status onto them.
#pragma once

#include "nb/Status.h"

namespace nb::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,      // anything not covered below
  kExitUsage = 2,        // bad command line: unknown option, missing or invalid argument
  kExitNotSignedIn = 3,  // no consumer, no stored access token, or the service rejected it
  kExitService = 4,      // the service (or the network) refused or failed the call
  kExitLocalFile = 5,    // a local file could not be read or written (disk full, read-only)
  kExitTimeout = 6,      // no sign of life within the time limit
  kExitUnavailable = 7,  // this build or machine cannot do that
  kExitInterrupted = 130,
};

// The exit code of a command that ended with `status`.
int exitCodeFor(const Status& status);

// The help text's footer: the exit codes, and where the global options are told.
inline constexpr const char* kExitCodeHelp =
    "Global options (--root, --json, --consumer-key, --consumer-secret, --progress,\n"
    "--timeout, --low-speed, --secure, -v) go before or after the sub-command; `nb --help`\n"
    "lists them, `nb help COMMAND` tells one command's.\n"
    "Exit codes: 0 ok, 1 other failure, 2 usage error, 3 not signed in (or the sign-in\n"
    "was rejected), 4 service or network failure, 5 local file error, 6 time-out,\n"
    "7 not available, 130 interrupted.";

}  // namespace nb::cli
