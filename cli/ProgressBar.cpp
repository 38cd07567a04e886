#include "cli/ProgressBar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace nb::cli {
namespace {

constexpr int kMaxBarWidth = 40;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// The width of the terminal behind `out`, else $COLUMNS, else 80.
int terminalColumns(std::FILE* out) {
  winsize size{};
  if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const int value = std::atoi(columns);
    if (value > 0) return value;
  }
  return 80;
}

std::string clock(double seconds) {
  const long total = static_cast<long>(std::ceil(seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

}  // namespace

ProgressBar::ProgressBar(std::FILE* out, bool enabled)
    : out_(out), enabled_(enabled), start_(Clock::now()) {}

void ProgressBar::update(std::int64_t done, std::int64_t total) {
  if (!enabled_) return;
  if (payload_ >= 0 && total >= payload_) {
    done = std::clamp<std::int64_t>(done - (total - payload_), 0, payload_);
    total = payload_;
  }
  done_ = done;
  total_ = total;
  const auto now = Clock::now();
  const bool complete = total >= 0 && done >= total;
  if (drawn_ && !complete && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  draw();
}

void ProgressBar::finish() {
  if (!enabled_ || !drawn_) return;
  draw();
  std::fputc('\n', out_);
  std::fflush(out_);
  drawn_ = false;
}

void ProgressBar::draw() {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
  const int columns = terminalColumns(out_);
  const int room = std::max(columns - static_cast<int>(label_.size()), 20);
  std::string line = label_ + ProgressBar::line(done_, total_, rate, room);
  if (line.size() > static_cast<std::size_t>(std::max(columns - 1, 1))) {
    line.resize(static_cast<std::size_t>(std::max(columns - 1, 1)));
  }
  const std::size_t length = line.size();
  // Blank out what is left of a longer earlier line, never past the last
  // column; no terminal escapes, so a forced bar in a log file stays readable.
  const std::size_t blank = std::min<std::size_t>(lastLength_, std::max(columns - 1, 1));
  if (length < blank) line.append(blank - length, ' ');
  lastLength_ = length;
  std::fprintf(out_, "\r%s", line.c_str());
  std::fflush(out_);
  drawn_ = true;
}

std::string ProgressBar::formatBytes(double bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(static_cast<long long>(bytes)) + " B";
  int unit = -1;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string ProgressBar::line(std::int64_t done, std::int64_t total, double bytesPerSecond,
                              int columns) {
  const std::size_t room = static_cast<std::size_t>(std::max(columns - 1, 1));
  std::string head = formatBytes(static_cast<double>(done));
  int percent = 0;
  if (total >= 0) {
    percent = total == 0 ? 100
                         : static_cast<int>(std::min<std::int64_t>(
                               100, done * 100 / std::max<std::int64_t>(total, 1)));
    char text[16];
    std::snprintf(text, sizeof text, "%3d%%", percent);
    head += " / " + formatBytes(static_cast<double>(total)) + "  " + text;
  }
  std::string tail = "  " + formatBytes(std::max(0.0, bytesPerSecond)) + "/s";
  if (total >= 0 && bytesPerSecond > 0 && done < total) {
    tail += "  ETA " + clock(static_cast<double>(total - done) / bytesPerSecond);
  }
  std::string text = head;
  const std::size_t fixed = head.size() + tail.size() + 3;  // " [" and "]"
  if (total >= 0 && room >= fixed + 5) {
    const int width = static_cast<int>(std::min<std::size_t>(room - fixed, kMaxBarWidth));
    const int filled = percent * width / 100;
    text += " [" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
  }
  text += tail;
  if (text.size() > room) text.resize(room);
  return text;
}

std::string ProgressBar::render(std::int64_t done, std::int64_t total, double bytesPerSecond,
                                int barWidth) {
  std::string line = formatBytes(static_cast<double>(done));
  if (total >= 0) {
    // Floor, so that 100% appears only when every byte is there; an empty
    // transfer is complete.
    const int percent = total == 0 ? 100
                                   : static_cast<int>(std::min<std::int64_t>(
                                         100, done * 100 / std::max<std::int64_t>(total, 1)));
    const int filled = percent * barWidth / 100;
    char head[16];
    std::snprintf(head, sizeof head, "%3d%%", percent);
    line += " / " + formatBytes(static_cast<double>(total)) + "  " + head + " [" +
            std::string(filled, '#') + std::string(barWidth - filled, '.') + "]";
  }
  line += "  " + formatBytes(std::max(0.0, bytesPerSecond)) + "/s";
  return line;
}

}  // namespace nb::cli
