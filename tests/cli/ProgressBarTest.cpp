#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "cli/ProgressBar.h"

namespace nb::cli {
namespace {

TEST(ProgressBarTest, FormatsByteCountsInBinaryUnits) {
  const struct {
    double bytes;
    const char* text;
  } cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {1048575, "1024.0 KiB"},
      {1048576, "1.0 MiB"},
      {5.0 * (1 << 30), "5.0 GiB"},
      {3.0 * 1024 * 1024 * 1024 * 1024, "3.0 TiB"},
  };
  for (const auto& c : cases) EXPECT_EQ(ProgressBar::formatBytes(c.bytes), c.text) << c.bytes;
}

TEST(ProgressBarTest, RendersBytesPercentageBarAndRate) {
  const struct {
    std::int64_t done, total;
    double rate;
    const char* line;
  } cases[] = {
      {0, 100, 0, "0 B / 100 B    0% [..........]  0 B/s"},
      {50, 100, 2048, "50 B / 100 B   50% [#####.....]  2.0 KiB/s"},
      // Floors: 100% only once every byte is there.
      {999, 1000, 10, "999 B / 1000 B   99% [#########.]  10 B/s"},
      {1000, 1000, 10, "1000 B / 1000 B  100% [##########]  10 B/s"},
      // More than announced: the percentage stays at 100.
      {1500, 1000, 10, "1.5 KiB / 1000 B  100% [##########]  10 B/s"},
      // An empty transfer is complete.
      {0, 0, 0, "0 B / 0 B  100% [##########]  0 B/s"},
      // Unknown total: bytes and rate only.
      {3 << 20, -1, 1 << 20, "3.0 MiB  1.0 MiB/s"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProgressBar::render(c.done, c.total, c.rate, 10), c.line) << c.done << "/" << c.total;
  }
}

TEST(ProgressBarTest, LineFitsTheTerminalAndShowsTimeLeft) {
  for (const int columns : {20, 50, 80, 200}) {
    const std::string line = ProgressBar::line(300 << 20, 2000LL << 20, 12.5 * (1 << 20), columns);
    EXPECT_LT(line.size(), static_cast<std::size_t>(columns)) << line;
    if (columns >= 50) {
      EXPECT_NE(line.find("ETA 2:16"), std::string::npos) << line;  // 1700 MiB at 12.5 MiB/s
    }
    if (columns >= 80) {
      EXPECT_NE(line.find("["), std::string::npos) << line;
    }
  }
  // The bar grows with the room up to its largest width; no ETA once complete.
  const std::string wide = ProgressBar::line(100, 100, 10, 200);
  EXPECT_NE(wide.find("[" + std::string(40, '#') + "]"), std::string::npos) << wide;
  EXPECT_EQ(wide.find("ETA"), std::string::npos);
}

std::string drawnText(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c = 0; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
  return text;
}

TEST(ProgressBarTest, DrawsOneLineThrottledAndEndsIt) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    ProgressBar bar(file, true);
    bar.update(10, 100);
    bar.update(20, 100);   // within the redraw interval: skipped
    bar.update(100, 100);  // complete: always drawn
    bar.finish();
  }
  const std::string text = drawnText(file);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 3) << text;  // two updates + finish
  EXPECT_EQ(text.find("20 B"), std::string::npos);
  EXPECT_NE(text.find("100%"), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
  std::fclose(file);
}

TEST(ProgressBarTest, CountsFileBytesOnlyWhenTheBodyHasFraming) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    ProgressBar bar(file, true);
    bar.setPayloadBytes(20);
    bar.update(141, 199);  // the framing before the file, and part of the file
    bar.update(199, 199);
    bar.finish();
  }
  const std::string text = drawnText(file);
  EXPECT_EQ(text.find("141 B"), std::string::npos) << text;
  EXPECT_EQ(text.find("199 B"), std::string::npos) << text;
  EXPECT_NE(text.find("20 B / 20 B  100%"), std::string::npos) << text;
  std::fclose(file);
}

TEST(ProgressBarTest, DisabledOrUnusedBarWritesNothing) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ProgressBar disabled(file, false);
  disabled.update(5, 10);
  disabled.finish();
  ProgressBar unused(file, true);
  unused.finish();
  EXPECT_EQ(drawnText(file), "");
  std::fclose(file);
}

}  // namespace
}  // namespace nb::cli
