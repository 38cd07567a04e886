#include "cli/ProgressBar.h"

#include <algorithm>
#include <cmath>

namespace nb::cli {
namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

ProgressBar::ProgressBar(std::FILE* out, bool enabled)
    : out_(out), enabled_(enabled), start_(Clock::now()) {}

void ProgressBar::update(std::int64_t done, std::int64_t total) {
  if (!enabled_) return;
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
  std::string line = render(done_, total_, rate, kBarWidth);
  const std::size_t length = line.size();
  // Blank out what is left of a longer earlier line; no terminal escapes, so a
  // forced bar in a log file stays readable.
  if (length < lastLength_) line.append(lastLength_ - length, ' ');
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
