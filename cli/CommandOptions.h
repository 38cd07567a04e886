// CommandOptions is one parsed nb command line: the sub-command, the global
// options and the sub-command's arguments. A plain value made by CommandLine
// and read by the commands; fields a sub-command does not take stay at defaults.
#pragma once

#include <optional>
#include <string>

namespace nb::cli {

struct CommandOptions {
  std::string command;  // "login", "ls", ...

  // Global options.
  std::string root = "app";
  bool json = false;
  bool forceProgress = false;  // draw the progress bar even when stderr is no terminal
  int timeoutSeconds = 120;    // longest wait without any sign of life from the service
  std::optional<std::string> consumerKey;
  std::optional<std::string> consumerSecret;

  // Account commands.
  std::string user;
  std::optional<std::string> password;
  bool window = false;  // login/register: the sign-in screens in a real window
  std::optional<std::string> code;   // register: the verification code
  std::optional<std::string> image;  // register: where to save the challenge image

  // Paths: `path` for one-path commands; `from`/`to` for mv and cp; `local` for
  // put and get ("-" is stdin or stdout); `out` for thumb and convert.
  std::optional<std::string> path;
  std::string from;
  std::string to;
  std::optional<std::string> ref;  // cp --ref
  std::optional<std::string> local;
  std::string out;

  // ls.
  int page = 0;
  int pageSize = 20;
  std::optional<int> limit;
  std::optional<std::string> filter;
  std::optional<std::string> sort;  // "name", "size" or "time"
  bool desc = false;

  // put.
  bool overwrite = false;

  // share.
  std::optional<std::string> name;
  std::optional<std::string> accessCode;

  // thumb.
  int width = 0;
  int height = 0;

  // convert.
  std::string type;             // pdf, doc, ... (see CommandLine)
  std::string view = "iphone";  // "iphone" or "iPad"
  bool zip = false;
};

}  // namespace nb::cli
