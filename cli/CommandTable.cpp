#include "cli/CommandTable.h"

#include <string_view>

#include "cli/AccountCommands.h"
#include "cli/CommandContext.h"
#include "cli/ExitCode.h"
#include "cli/StoreStatus.h"
#include "cli/TransferCommands.h"
#include "cli/TreeCommands.h"

namespace nb::cli {
namespace {

struct Entry {
  std::string_view name;
  int (*run)(CommandContext&);
};

constexpr Entry kCommands[] = {
    {"login", runLogin},     {"logout", runLogout}, {"register", runRegister},
    {"info", runInfo},       {"ls", runList},       {"mkdir", runMakeFolder},
    {"rm", runRemove},       {"mv", runMove},       {"cp", runCopy},
    {"copyref", runCopyRef}, {"share", runShare},   {"history", runHistory},
    {"put", runPut},         {"get", runGet},       {"thumb", runThumbnail},
    {"convert", runConvert}, {"whoami", runWhoami},
};

}  // namespace

int CommandTable::run(const CommandOptions& options, Printer& printer) {
  CommandContext context(options, printer);
  for (const Entry& entry : kCommands) {
    if (entry.name == options.command) return entry.run(context);
  }
  return printer.error(options.command + " is not available in this build", kExitUnavailable);
}

}  // namespace nb::cli
