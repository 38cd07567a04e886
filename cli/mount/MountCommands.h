// `nb mount` (serve a remote folder as a local file system, or --status of a
// mount's queue) and `nb unmount`. Main thread.
#pragma once

#include "cli/Command.h"

namespace nb::cli {

CommandRun declareMount(CLI::App& sub);
CommandRun declareUnmount(CLI::App& sub);

}  // namespace nb::cli
