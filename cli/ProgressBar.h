// ProgressBar draws one self-overwriting line of transfer progress on a stream
// (stderr): bytes so far, and when the total is known, the percentage, a bar
// and the time left; always the average rate. The line fits the terminal's
// width (read at each redraw), so it is redrawn in place and never wraps.
// A disabled bar draws nothing, so callers need not ask.
// Owned by one command run; used from the thread that runs the operations.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace nb::cli {

class ProgressBar {
 public:
  // Draws on `out` (not owned) when `enabled`.
  ProgressBar(std::FILE* out, bool enabled);

  // Whether anything is drawn: callers may skip preparing counts and labels.
  bool enabled() const { return enabled_; }
  // New counts; `total` is negative when unknown. Redraws at most ten times a
  // second, and always when `done` reaches a known total.
  void update(std::int64_t done, std::int64_t total);
  // Draws the last counts and ends the line, when anything was drawn.
  void finish();
  // The transfer's counts include `bytes` of file and framing around it (a
  // multipart body): the bar then shows file bytes only, the framing counted
  // as sent first.
  void setPayloadBytes(std::int64_t bytes) { payload_ = bytes; }
  // Text drawn before the counts ("3/10 files, 2 in flight  "), kept within the width.
  void setLabel(std::string label) { label_ = std::move(label); }

  // The line for the given counts and rate, `barWidth` cells wide for the bar.
  static std::string render(std::int64_t done, std::int64_t total, double bytesPerSecond,
                            int barWidth);
  // The whole line for a terminal of `columns` columns: at most columns - 1
  // characters, the bar as wide as fits (up to 40 cells), ", ETA m:ss" when the
  // total and a rate are known.
  static std::string line(std::int64_t done, std::int64_t total, double bytesPerSecond,
                          int columns);
  // "512 B", "1.5 KiB", "20.0 MiB", ...
  static std::string formatBytes(double bytes);

 private:
  using Clock = std::chrono::steady_clock;
  void draw();

  std::FILE* out_;
  bool enabled_;
  Clock::time_point start_;
  Clock::time_point lastDraw_;
  bool drawn_ = false;
  std::size_t lastLength_ = 0;
  std::int64_t done_ = 0;
  std::int64_t total_ = -1;
  std::int64_t payload_ = -1;
  std::string label_;
};

}  // namespace nb::cli
