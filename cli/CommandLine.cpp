#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "cli/ExitCode.h"

namespace nb::cli {
namespace {

const std::vector<std::string> kDocumentTypes = {"pdf", "doc", "zdc", "csv", "prn", "xls",
                                                 "zs",  "ppt", "zpr", "txt", "rtf"};

// The global options, accepted before or after the sub-command.
void addGlobalOptions(CLI::App& app, CommandOptions& o) {
  app.add_option("--root", o.root, "Storage root the paths are relative to")->capture_default_str();
  app.add_flag("--json", o.json, "Print results and errors as JSON on stdout");
  app.add_option("--consumer-key", o.consumerKey, "Application consumer key")
      ->envname("NB_CONSUMER_KEY");
  app.add_option("--consumer-secret", o.consumerSecret, "Application consumer secret")
      ->envname("NB_CONSUMER_SECRET");
  app.add_flag("--progress", o.forceProgress,
               "Draw the progress bar even when stderr is not a terminal");
  app.add_option("--timeout", o.timeoutSeconds,
                 "Seconds to wait without any sign of life from the service")
      ->check(CLI::Range(1, 86400))
      ->capture_default_str();
}

CLI::App* command(CLI::App& app, CommandOptions& o, const char* name, const char* help) {
  CLI::App* sub = app.add_subcommand(name, help);
  sub->callback([&o, name] { o.command = name; });
  return sub;
}

void addAccountCommands(CLI::App& app, CommandOptions& o) {
  CLI::App* login = command(app, o, "login", "Sign in with user name and password");
  // USER is required unless --window, where it is typed in the window.
  CLI::Option_group* loginWho = login->add_option_group("who");
  loginWho->add_option("USER", o.user, "User name (an e-mail address; optional with --window)");
  loginWho->add_flag("--window", o.window, "Sign in on the library's login screen in a window");
  loginWho->require_option(1, 2);
  login->add_option("--password", o.password, "Password (prompted without echo when absent)");

  command(app, o, "logout", "Forget the stored access token and consumer");

  CLI::App* reg = command(app, o, "register", "Create an account, then sign in to it");
  CLI::Option_group* regWho = reg->add_option_group("who");
  regWho->add_option("USER", o.user, "User name (an e-mail address; optional with --window)");
  regWho->add_flag("--window", o.window,
                   "Register on the library's registration screen in a window");
  regWho->require_option(1, 2);
  reg->add_option("--password", o.password, "Password (prompted without echo when absent)");
  reg->add_option("--code", o.code, "Verification code (prompted when absent)");
  reg->add_option("--image", o.image, "Where to save the verification image (PNG)");

  command(app, o, "info", "Show the account: user, quota, largest file allowed");
  command(app, o, "whoami", "Show whether you are signed in and where credentials are kept");
}

void addTreeCommands(CLI::App& app, CommandOptions& o) {
  CLI::App* ls = command(app, o, "ls", "List a folder (or show one entry)");
  ls->add_option("PATH", o.path, "Remote path (default: the root)");
  ls->add_option("--page", o.page, "Page index, from 0")->check(CLI::NonNegativeNumber);
  ls->add_option("--page-size", o.pageSize, "Entries per page")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  ls->add_option("--limit", o.limit, "Refuse a folder with more entries than this")
      ->check(CLI::Range(1, 100000));
  ls->add_option("--filter", o.filter, "Only files with this extension");
  ls->add_option("--sort", o.sort, "Sort key")->check(CLI::IsMember({"name", "size", "time"}));
  ls->add_flag("--desc", o.desc, "Descending order (with --sort)");

  CLI::App* mkdir = command(app, o, "mkdir", "Create a folder");
  mkdir->add_option("PATH", o.path, "Remote path")->required();
  CLI::App* rm = command(app, o, "rm", "Delete a file or folder");
  rm->add_option("PATH", o.path, "Remote path")->required();

  CLI::App* mv = command(app, o, "mv", "Move or rename an entry");
  mv->add_option("FROM", o.from, "Remote source path")->required();
  mv->add_option("TO", o.to, "Remote target path")->required();

  CLI::App* cp = command(app, o, "cp", "Copy an entry, from a path or a copy reference");
  cp->add_option("FROM", o.from, "Remote source path (leave out with --ref)");
  cp->add_option("TO", o.to, "Remote target path");
  cp->add_option("--ref", o.ref, "Copy reference to copy from (see copyref)");

  CLI::App* copyref = command(app, o, "copyref", "Get a copy reference for an entry");
  copyref->add_option("PATH", o.path, "Remote path")->required();

  CLI::App* share = command(app, o, "share", "Get a share link for an entry");
  share->add_option("PATH", o.path, "Remote path")->required();
  share->add_option("--name", o.name, "Display name of the share");
  share->add_option("--code", o.accessCode, "Access code a visitor must give");

  CLI::App* history = command(app, o, "history", "List the stored versions of a file");
  history->add_option("PATH", o.path, "Remote path")->required();
}

void addTransferCommands(CLI::App& app, CommandOptions& o) {
  CLI::App* put = command(app, o, "put", "Upload a local file (or stdin with -)");
  put->add_option("LOCAL", o.local, "Local file, or - for stdin")->required();
  put->add_option("REMOTE", o.to, "Remote path")->required();
  put->add_flag("--overwrite", o.overwrite, "Replace an existing file");

  CLI::App* get = command(app, o, "get", "Download a file");
  get->add_option("REMOTE", o.from, "Remote path")->required();
  get->add_option("LOCAL", o.local, "Local file, or - for stdout (default: the remote name)");

  CLI::App* thumb = command(app, o, "thumb", "Save a thumbnail of an image");
  thumb->add_option("PATH", o.path, "Remote path of the image")->required();
  thumb->add_option("OUT", o.out, "Local file to write")->required();
  thumb->add_option("--width", o.width, "Width in pixels")->required()->check(CLI::Range(1, 10000));
  thumb->add_option("--height", o.height, "Height in pixels")
      ->required()
      ->check(CLI::Range(1, 10000));

  CLI::App* convert = command(app, o, "convert", "Save a document rendered for viewing");
  convert->add_option("PATH", o.path, "Remote path of the document")->required();
  convert->add_option("OUT", o.out, "Local file to write (HTML, or zip with --zip)")->required();
  convert->add_option("--type", o.type, "Document type")
      ->required()
      ->check(CLI::IsMember(kDocumentTypes));
  convert->add_option("--view", o.view, "Device to render for")
      ->check(CLI::IsMember({"iphone", "iPad"}))
      ->capture_default_str();
  convert->add_flag("--zip", o.zip, "A zip archive instead of one HTML page");
}

// Checks that need more than one option at a time, and the cp --ref form,
// whose only positional argument is the target.
void checkCombinations(CommandOptions& o) {
  if (o.command == "cp") {
    if (o.ref) {
      if (!o.to.empty()) throw CLI::ValidationError("cp", "with --ref give only TO");
      if (o.from.empty()) throw CLI::ValidationError("cp", "give TO");
      std::swap(o.from, o.to);
    } else if (o.from.empty() || o.to.empty()) {
      throw CLI::ValidationError("cp", "give FROM and TO, or --ref REF and TO");
    }
  }
  if (o.desc && !o.sort) throw CLI::ValidationError("--desc", "needs --sort");
}

}  // namespace

ParsedCommandLine CommandLine::parse(int argc, const char* const* argv, std::ostream& out,
                                     std::ostream& err) {
  CommandOptions o;
  CLI::App app{"nb: the Nimbus file-storage service at a terminal", "nb"};
  app.footer(kExitCodeHelp);
  app.set_version_flag("--version", "nb " NB_VERSION);
  app.fallthrough();  // global options may follow the sub-command
  app.require_subcommand(1);
  addGlobalOptions(app, o);
  addAccountCommands(app, o);
  addTreeCommands(app, o);
  addTransferCommands(app, o);

  try {
    app.parse(argc, argv);
    checkCombinations(o);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return ParsedCommandLine{std::nullopt, code == 0 ? 0 : kExitUsage};
  }
  return ParsedCommandLine{std::move(o), kExitOk};
}

}  // namespace nb::cli
