#include "cli/CommandTable.h"

#include "cli/AccountCommands.h"
#include "cli/CommandContext.h"
#include "cli/CommandDocs.h"
#include "cli/CommandLine.h"
#include "cli/ExitCode.h"
#include "cli/LocalFiles.h"
#include "cli/StoreStatus.h"
#include "cli/TransferCommands.h"
#include "cli/TreeCommands.h"
#include "cli/mount/MountCommands.h"

namespace nb::cli {
namespace {

constexpr CommandEntry kCommands[] = {
    {"login", "Sign in with user name and password", declareLogin},
    {"logout", "Forget the stored access token and consumer", declareLogout},
    {"register", "Create an account, then sign in to it", declareRegister},
    {"info", "Show the account: user, quota, largest file allowed", declareInfo},
    {"whoami", "Show whether you are signed in and where credentials are kept", declareWhoami},
    {"ls", "List a folder (every page), or show one entry", declareList},
    {"mkdir", "Create a folder", declareMakeFolder},
    {"rm", "Delete a file, or a folder with -r", declareRemove},
    {"mv", "Move or rename an entry", declareMove},
    {"cp", "Copy an entry, from a path or a copy reference", declareCopy},
    {"copyref", "Get a copy reference for an entry", declareCopyRef},
    {"share", "Get a share link for an entry", declareShare},
    {"history", "List the stored versions of a file", declareHistory},
    {"put", "Upload a local file (or stdin with -)", declarePut},
    {"get", "Download a file (or to stdout with -)", declareGet},
    {"sync", "Bring a folder in step with another, local to remote or remote to local",
     declareSync},
    {"thumb", "Save a thumbnail of an image", declareThumbnail},
    {"convert", "Save a document rendered for viewing", declareConvert},
    {"mount", "Serve a remote folder as a local file system (FUSE)", declareMount},
    {"unmount", "Unmount a folder mounted with nb mount, once its files are stored",
     declareUnmount},
    {"completion", "Print the shell completion script (bash, zsh or fish)", declareCompletion},
    {"man", "Print the manual page (roff; `nb man | man -l -`)", declareManual},
};

}  // namespace

std::span<const CommandEntry> CommandTable::commands() { return kCommands; }

const CommandEntry* CommandTable::find(std::string_view name) {
  for (const CommandEntry& entry : kCommands) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

int CommandTable::main(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  ParsedCommandLine parsed = CommandLine::parse(argc, argv, out, err);
  if (!parsed.run) return parsed.exitCode;
  LocalFiles::removePartialFilesOnInterrupt();
  Printer printer(parsed.globals.json, out, err);
  CommandContext context(parsed.globals, printer);
  Status status = parsed.run(context);
  if (status.ok()) status = printer.outputStatus();  // a result that could not be written
  return status.ok() ? kExitOk : printer.error(status);
}

}  // namespace nb::cli
