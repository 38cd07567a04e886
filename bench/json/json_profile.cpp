// A driver for profilers (callgrind, perf) and quick comparisons: parses or
// writes one file with our codec alone, the way bench_json measures it (a fresh
// parser per document; one writer, compact and in insertion order unless asked).
// Prints the best thread CPU time per document over batches of ten.
//   bench_json_profile parse|write FILE [TIMES] [readable] [sorted]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "nb/Private/JsonFramework/NBJsonParser.h"
#include "nb/Private/JsonFramework/NBJsonWriter.h"

namespace {

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs `task` `times` times in batches of ten; returns the best seconds per call.
template <class Task>
double best(int times, Task task) {
  double best = 1e30;
  for (int done = 0; done < times;) {
    const int batch = std::min(10, times - done);
    const double start = threadSeconds();
    for (int i = 0; i < batch; ++i) task();
    best = std::min(best, (threadSeconds() - start) / batch);
    done += batch;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[1], "parse") != 0 && std::strcmp(argv[1], "write") != 0)) {
    std::fprintf(stderr,
                 "usage: bench_json_profile parse|write FILE [TIMES] [readable] [sorted]\n");
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  const int times = argc > 3 ? std::atoi(argv[3]) : 10;
  std::size_t sink = 0;
  double seconds = 0;
  if (std::strcmp(argv[1], "parse") == 0) {
    seconds = best(times, [&] { sink += nb::NBJsonParser().objectWithString(text)->size(); });
  } else {
    const auto value = nb::NBJsonParser().objectWithString(text);
    if (!value) return 1;
    nb::NBJsonWriter writer;
    for (int a = 4; a < argc; ++a) {
      if (std::strcmp(argv[a], "readable") == 0) writer.setHumanReadable(true);
      if (std::strcmp(argv[a], "sorted") == 0) writer.setSortKeys(true);
    }
    seconds = best(times, [&] { sink += writer.stringWithObject(*value)->size(); });
  }
  std::printf("%.1f us (%zu)\n", seconds * 1e6, sink);
  return 0;
}
