// ProgressBar draws one self-overwriting line of transfer progress on a stream
// (stderr): bytes so far, and when the total is known, the percentage and a bar;
// always the average rate. A disabled bar draws nothing, so callers need not ask.
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

  // New counts; `total` is negative when unknown. Redraws at most ten times a
  // second, and always when `done` reaches a known total.
  void update(std::int64_t done, std::int64_t total);
  // Draws the last counts and ends the line, when anything was drawn.
  void finish();

  // The line for the given counts and rate, `barWidth` cells wide for the bar.
  static std::string render(std::int64_t done, std::int64_t total, double bytesPerSecond,
                            int barWidth);
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
};

}  // namespace nb::cli
