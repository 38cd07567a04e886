#include "cli/TerminalPrompt.h"

#include <termios.h>
#include <unistd.h>

namespace nb::cli {
namespace {

// Reads one line from `fd`, byte by byte so nothing after the newline is consumed.
std::optional<std::string> readLine(int fd) {
  std::string line;
  char c = 0;
  ssize_t n = 0;
  while ((n = ::read(fd, &c, 1)) == 1 && c != '\n') line.push_back(c);
  if (n <= 0 && line.empty()) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::optional<std::string> TerminalPrompt::ask(const std::string& prompt, bool secret) {
  if (!::isatty(STDIN_FILENO)) return readLine(STDIN_FILENO);

  (void)!::write(STDERR_FILENO, prompt.data(), prompt.size());
  termios saved{};
  const bool quiet = secret && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    silent.c_lflag |= ECHONL;  // the newline still shows, so the next output starts fresh
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
  }
  std::optional<std::string> line = readLine(STDIN_FILENO);
  if (quiet) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  return line;
}

}  // namespace nb::cli
