#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CommandTable.h"
#include "cli/ExitCode.h"
#include "cli/Printer.h"
#include "cli/Quantity.h"

namespace nb::cli {
namespace {

// Global options that take a value, for the scan that finds the sub-command.
constexpr std::string_view kValueOptions[] = {"--root", "--consumer-key", "--consumer-secret",
                                              "--timeout", "--low-speed"};

// "RATE/SECONDS", RATE a byte size ("1k"), or "off": the transfer's slowest
// allowed average over that many seconds.
std::string parseLowSpeed(const std::string& text, GlobalOptions& o) {
  if (text == "off" || text == "0") {
    o.lowSpeedBytes = 0;
    return "";
  }
  const std::string usage = "--low-speed takes RATE/SECONDS, e.g. 1k/120 (or off)";
  const auto slash = text.find('/');
  if (slash == std::string::npos) return usage;
  const auto rate = parseByteSize(std::string_view(text).substr(0, slash), "--low-speed");
  const auto window = parseDuration(std::string_view(text).substr(slash + 1), "--low-speed");
  if (!rate.ok() || !window.ok() || *rate > UINT32_MAX || *window < std::chrono::seconds(1) ||
      *window > std::chrono::hours(24)) {
    return usage;
  }
  o.lowSpeedBytes = static_cast<std::uint32_t>(*rate);
  o.lowSpeedSeconds =
      static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(*window).count());
  return "";
}

void addGlobalOptions(CLI::App& app, GlobalOptions& o) {
  app.add_option("--root", o.root, "Storage root the paths are relative to")->capture_default_str();
  app.add_flag("--json", o.json, "Print results and errors as JSON on stdout");
  app.add_option("--consumer-key", o.consumerKey,
                 "Application consumer key (must match the one `nb login` used)")
      ->envname("NB_CONSUMER_KEY");
  app.add_option("--consumer-secret", o.consumerSecret, "Application consumer secret")
      ->envname("NB_CONSUMER_SECRET");
  app.add_flag("--progress", o.forceProgress,
               "Draw the progress bar even when stderr is not a terminal");
  app.add_option("--timeout", o.timeoutSeconds,
                 "Seconds to wait without any sign of life from the service")
      ->check(CLI::Range(1, 86400))
      ->capture_default_str();
  app.add_option_function<std::string>(
         "--low-speed",
         [&o](const std::string& text) {
           if (const std::string error = parseLowSpeed(text, o); !error.empty()) {
             throw CLI::ValidationError(error);
           }
         },
         "Fail a transfer slower than RATE bytes a second over SECONDS (RATE/SECONDS, "
         "k/M/G suffixes, or off)")
      ->default_str("1k/120");
  app.add_flag("-v,--verbose", o.verbose,
               "Log each call on stderr (-vv: every request and response too; or set NB_LOG to "
               "error, warning, info or debug)");
  app.add_flag("--secure", o.secure,
               "Send every call over HTTPS (file calls go over plain HTTP by default)")
      ->envname("NB_SECURE");
}

bool hasArgument(int argc, const char* const* argv, std::string_view name) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name &&
                        arg[name.size()] == '=')) {
      return true;
    }
  }
  return false;
}

// The first argument that is neither an option nor an option's value: the
// sub-command's name as the user typed it, or empty.
std::string firstWord(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return i + 1 < argc ? argv[i + 1] : "";
    if (arg.empty() || arg.front() != '-') return std::string(arg);
    for (const std::string_view option : kValueOptions) {
      if (arg == option) ++i;  // its value follows
    }
  }
  return "";
}

// The edit distance of two words (insertions, deletions, substitutions).
std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The candidate closest to `typed` when it is near enough to be a typo (or
// `typed` begins it), else empty.
std::string nearest(std::string_view typed, const std::vector<std::string>& candidates) {
  std::string best;
  // One slip in a short word, two in a long one; a beginning of two letters or more.
  std::size_t bestDistance = typed.size() < 3 ? 1 : typed.size() <= 6 ? 2 : 3;
  for (const std::string& candidate : candidates) {
    const std::size_t distance =
        candidate.starts_with(typed) && typed.size() >= 2 ? 0 : editDistance(typed, candidate);
    if (distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best;
}

std::vector<std::string> commandNames() {
  std::vector<std::string> names;
  for (const CommandEntry& entry : CommandTable::commands()) names.emplace_back(entry.name);
  return names;
}

// The long option names `app` and its parents accept.
std::vector<std::string> optionNames(const CLI::App* app) {
  std::vector<std::string> names;
  for (; app != nullptr; app = app->get_parent()) {
    for (const CLI::Option* option : app->get_options()) {
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
  }
  return names;
}

// The parser's message, with the option meant when one was mistyped.
std::string explainParseError(const CLI::ParseError& error, const CLI::App& app) {
  std::string message = error.what();
  const CLI::App* where = &app;
  for (const CLI::App* sub : app.get_subcommands()) where = sub;
  const auto dashes = message.find("--");
  if (dashes == std::string::npos || message.find("not expected") == std::string::npos) {
    return message;
  }
  const auto end = message.find_first_of(" =,", dashes);
  const std::string typed = message.substr(dashes, end - dashes);
  if (const std::string meant = nearest(typed, optionNames(where)); !meant.empty()) {
    message += "; did you mean " + meant + "?";
  }
  return message;
}

int usageError(const std::string& message, bool json, std::ostream& out, std::ostream& err) {
  Printer printer(json, out, err);
  const int code = printer.error(Status::invalidArgument(message));
  if (!json) err << "Run `nb --help` for the commands, `nb COMMAND --help` for one.\n";
  return code;
}

// Declares the global options and every sub-command on `app`; each command's
// own options only when `only` is null or names it.
std::vector<std::pair<CLI::App*, CommandRun>> declare(CLI::App& app, GlobalOptions& globals,
                                                      const CommandEntry* only) {
  app.footer(kExitCodeHelp);
  app.set_version_flag("--version", "nb " NB_VERSION, "Print the version and exit");
  app.fallthrough();  // global options may follow the sub-command
  app.require_subcommand(1);
  addGlobalOptions(app, globals);
  std::vector<std::pair<CLI::App*, CommandRun>> runs;
  for (const CommandEntry& entry : CommandTable::commands()) {
    CLI::App* sub = app.add_subcommand(entry.name, entry.help);
    if (only == nullptr || only == &entry) runs.emplace_back(sub, entry.declare(*sub));
  }
  return runs;
}

// A usage error for an option that is not a global one standing before the
// command's name ("nb --transfers 4 sync ..."), or for an unknown option when
// no command is named; empty when neither.
std::string optionBeforeCommand(int argc, const char* const* argv) {
  CLI::App globalsOnly;
  GlobalOptions ignored;
  addGlobalOptions(globalsOnly, ignored);
  const std::vector<std::string> globals = optionNames(&globalsOnly);
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return "";
    if (arg.empty() || arg.front() != '-') {
      if (CommandTable::find(arg) != nullptr) return "";
      continue;  // a global option's value, or a word the parse reports
    }
    const std::string name(arg.substr(0, arg.find('=')));
    if (!name.starts_with("--") || name == "--help" || name == "--version" ||
        std::find(globals.begin(), globals.end(), name) != globals.end()) {
      continue;
    }
    std::vector<std::string> known = globals;
    for (int j = i + 1; j < argc; ++j) {
      const CommandEntry* entry = CommandTable::find(argv[j]);
      if (entry == nullptr) continue;
      CLI::App command;
      const CommandRun unused = entry->declare(command);
      const std::vector<std::string> own = optionNames(&command);
      if (std::find(own.begin(), own.end(), name) != own.end()) {
        return name + " is an option of `nb " + entry->name + "`: give it after the command, " +
               "as in `nb " + entry->name + " " + name + " ...`";
      }
      known.insert(known.end(), own.begin(), own.end());
      break;
    }
    std::string message = "unknown option " + name;
    if (const std::string meant = nearest(name, known); !meant.empty()) {
      message += "; did you mean " + meant + "?";
    }
    return message;
  }
  return "";
}

// `nb help [COMMAND]` as `nb [COMMAND] --help`.
std::vector<const char*> helpAsOption(int argc, const char* const* argv) {
  std::vector<const char*> args(argv, argv + argc);
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) != "help") continue;
    if (firstWord(argc, argv) != "help") break;
    args.erase(args.begin() + i);
    args.push_back("--help");
    break;
  }
  return args;
}

}  // namespace

const char* const CommandLine::kDescription = "nb: the Nimbus file-storage service at a terminal";

void CommandLine::declareAll(CLI::App& app, GlobalOptions& globals) {
  declare(app, globals, nullptr);
}

ParsedCommandLine CommandLine::parse(int argc, const char* const* argv, std::ostream& out,
                                     std::ostream& err) {
  const std::vector<const char*> args = helpAsOption(argc, argv);
  argc = static_cast<int>(args.size());
  argv = args.data();
  ParsedCommandLine parsed;
  const bool json = hasArgument(argc, argv, "--json");
  CLI::App app{kDescription, "nb"};

  const std::string word = firstWord(argc, argv);
  const bool help = hasArgument(argc, argv, "--help") || hasArgument(argc, argv, "-h");
  const CommandEntry* named = word.empty() ? nullptr : CommandTable::find(word);
  // Only a line whose first word is no command can hold a misplaced option;
  // a well-formed line pays nothing for the search.
  const std::string misplaced = named == nullptr ? optionBeforeCommand(argc, argv) : "";
  if (!misplaced.empty()) {
    parsed.exitCode = usageError(misplaced, json, out, err);
    return parsed;
  }
  if (!word.empty() && named == nullptr) {
    std::string message = "unknown command '" + word + "'";
    if (const std::string meant = nearest(word, commandNames()); !meant.empty()) {
      message += "; did you mean '" + meant + "'?";
    }
    parsed.exitCode = usageError(message, json, out, err);
    return parsed;
  }
  // Every command is listed, but when the line names one and asks for no
  // help, only that command's options are declared: declaring them all is
  // most of the parse's cost, paid on every start.
  auto runs = declare(app, parsed.globals, help ? nullptr : named);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      parsed.exitCode = app.exit(e, out, err);
      return parsed;
    }
    const bool unknownOption = std::string_view(e.what()).find("not expected") != std::string::npos;
    const std::string message =
        word.empty() && !unknownOption
            ? std::string("give a command, e.g. `nb ls` (`nb help` lists them)")
            : explainParseError(e, app);
    parsed.exitCode = usageError(message, json, out, err);
    return parsed;
  }
  parsed.globals.consumerFromCommandLine =
      hasArgument(argc, argv, "--consumer-key") || hasArgument(argc, argv, "--consumer-secret");
  for (auto& [sub, run] : runs) {
    if (sub->parsed()) {
      parsed.command = sub->get_name();
      parsed.run = std::move(run);
    }
  }
  return parsed;
}

}  // namespace nb::cli
