#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CommandTable.h"
#include "cli/ExitCode.h"
#include "cli/Printer.h"

namespace nb::cli {
namespace {

// Global options that take a value, for the scan that finds the sub-command.
constexpr std::string_view kValueOptions[] = {"--root", "--consumer-key", "--consumer-secret",
                                              "--timeout", "--low-speed"};

// "RATE/SECONDS", RATE in bytes with an optional k, M or G (of 1024), or
// "off": the transfer's slowest allowed average over that many seconds.
std::string parseLowSpeed(const std::string& text, GlobalOptions& o) {
  if (text == "off" || text == "0") {
    o.lowSpeedBytes = 0;
    return "";
  }
  const std::string usage = "--low-speed takes RATE/SECONDS, e.g. 1k/120 (or off)";
  const auto slash = text.find('/');
  if (slash == std::string::npos || slash == 0) return usage;
  std::string rate = text.substr(0, slash);
  std::uint64_t scale = 1;
  switch (rate.back()) {
    case 'k':
    case 'K':
      scale = 1024;
      break;
    case 'm':
    case 'M':
      scale = 1024 * 1024;
      break;
    case 'g':
    case 'G':
      scale = 1024 * 1024 * 1024;
      break;
    default:
      break;
  }
  if (scale != 1) rate.pop_back();
  std::uint64_t bytes = 0, seconds = 0;
  const std::string time = text.substr(slash + 1);
  const auto rateEnd = std::from_chars(rate.data(), rate.data() + rate.size(), bytes);
  const auto timeEnd = std::from_chars(time.data(), time.data() + time.size(), seconds);
  if (rate.empty() || rateEnd.ptr != rate.data() + rate.size() || rateEnd.ec != std::errc() ||
      time.empty() || timeEnd.ptr != time.data() + time.size() || timeEnd.ec != std::errc() ||
      seconds == 0 || seconds > 86400 || bytes * scale > UINT32_MAX) {
    return usage;
  }
  o.lowSpeedBytes = static_cast<std::uint32_t>(bytes * scale);
  o.lowSpeedSeconds = static_cast<std::uint32_t>(seconds);
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

int usageError(const std::string& message, bool json, std::ostream& out, std::ostream& err) {
  Printer printer(json, out, err);
  const int code = printer.error(Status::invalidArgument(message));
  if (!json) err << "Run `nb --help` for the commands, `nb COMMAND --help` for one.\n";
  return code;
}

}  // namespace

ParsedCommandLine CommandLine::parse(int argc, const char* const* argv, std::ostream& out,
                                     std::ostream& err) {
  ParsedCommandLine parsed;
  const bool json = hasArgument(argc, argv, "--json");
  CLI::App app{"nb: the Nimbus file-storage service at a terminal", "nb"};
  app.footer(kExitCodeHelp);
  app.set_version_flag("--version", "nb " NB_VERSION);
  app.fallthrough();  // global options may follow the sub-command
  app.require_subcommand(1);
  addGlobalOptions(app, parsed.globals);

  const std::string word = firstWord(argc, argv);
  const bool help = hasArgument(argc, argv, "--help") || hasArgument(argc, argv, "-h");
  const CommandEntry* named = word.empty() ? nullptr : CommandTable::find(word);
  if (!word.empty() && !help && named == nullptr) {
    parsed.exitCode = usageError("unknown command '" + word + "'", json, out, err);
    return parsed;
  }
  // Every command is listed, but when the line names one and asks for no
  // help, only that command's options are declared: declaring them all is
  // most of the parse's cost, paid on every start.
  std::vector<std::pair<CLI::App*, CommandRun>> runs;
  for (const CommandEntry& entry : CommandTable::commands()) {
    CLI::App* sub = app.add_subcommand(entry.name, entry.help);
    if (help || named == nullptr || named == &entry) runs.emplace_back(sub, entry.declare(*sub));
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      parsed.exitCode = app.exit(e, out, err);
      return parsed;
    }
    const std::string message =
        word.empty() ? std::string("give a command, e.g. `nb ls`") : std::string(e.what());
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
