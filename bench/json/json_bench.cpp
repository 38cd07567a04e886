// Parse and write throughput of our JSON codec against RapidJSON (Document::Parse,
// Writer<StringBuffer>), nlohmann::json (parse, dump) and simdjson (dom::parser,
// parse only) on the files named on the command line. Each figure is the best
// thread CPU time per call over batches run in turns with the peers, so that a
// busy machine disturbs the comparison as little as possible.
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <algorithm>
#include <ctime>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "nb/Private/JsonFramework/NBJsonParser.h"
#include "nb/Private/JsonFramework/NBJsonWriter.h"

namespace {

std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t sink = 0;  // keeps results alive

// CPU time of this thread: every library measured is single-threaded, and on a
// shared machine the time spent descheduled would only add noise.
double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// One contestant: a task and the best seconds per call seen so far.
struct Task {
  std::function<std::size_t()> run;
  double best = 1e30;
  int calls = 1;  // per timed batch, grown until a batch takes about 20 ms

  void batch() {
    const double start = threadSeconds();
    for (int i = 0; i < calls; ++i) sink += run();
    const double each = (threadSeconds() - start) / calls;
    best = std::min(best, each);
    if (each * calls < 0.02) calls *= 2;
  }
};

// Runs the tasks in turns, so that all of them see the same conditions, and
// keeps each one's best time per call.
void measure(std::vector<Task*> tasks, int rounds) {
  for (Task* t : tasks) sink += t->run();  // warm-up
  for (int r = 0; r < rounds; ++r) {
    for (Task* t : tasks) t->batch();
  }
}

const char* baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

struct Row {
  const char* name;
  double parse = 0, write = 0;  // MB/s; 0 = not measured
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_json FILE...\n");
    return 2;
  }
  double worstRatio = 1e30, worstNlohmann = 1e30, worstWriter = 1e30, worstSimd = 1e30;
  std::printf("%-18s %-10s %11s %8s %11s %8s\n", "file", "library", "parse MB/s", "vs Rapid",
              "write MB/s", "vs Rapid");
  for (int arg = 1; arg < argc; ++arg) {
    const std::string text = readFile(argv[arg]);
    const double mb = static_cast<double>(text.size()) / 1e6;
    // Parsers.
    simdjson::dom::parser simdParser;
    const simdjson::padded_string padded(text);
    // A fresh parser per document, as NBJsonUtility makes one per reply.
    Task ourParse{[&] { return nb::NBJsonParser().objectWithString(text)->size(); }};
    Task rapidParse{[&] {
      rapidjson::Document d;
      d.Parse(text.c_str(), text.size());
      return static_cast<std::size_t>(d.HasParseError() ? 0 : d.MemberCount() + 1);
    }};
    Task nlohmannParse{[&] { return nlohmann::json::parse(text).size(); }};
    Task simdParse{[&] {
      simdjson::dom::element e;
      return static_cast<std::size_t>(simdParser.parse(padded).get(e) == simdjson::SUCCESS);
    }};
    measure({&ourParse, &rapidParse, &simdParse}, 25);
    measure({&nlohmannParse}, 4);

    // Writers, each from its own parsed document.
    const auto ourValue = nb::NBJsonParser().objectWithString(text);
    nb::NBJsonWriter ourWriter;
    rapidjson::Document rapidDocument;
    rapidDocument.Parse(text.c_str(), text.size());
    const auto nlohmannDocument = nlohmann::json::parse(text);
    Task ourWrite{[&] { return ourWriter.stringWithObject(*ourValue)->size(); }};
    Task rapidWrite{[&] {
      rapidjson::StringBuffer buffer;
      rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
      rapidDocument.Accept(writer);
      return buffer.GetSize();
    }};
    Task nlohmannWrite{[&] { return nlohmannDocument.dump().size(); }};
    measure({&ourWrite, &rapidWrite}, 25);
    measure({&nlohmannWrite}, 4);

    const std::vector<Row> rows = {
        {"nb", mb / ourParse.best, mb / ourWrite.best},
        {"RapidJSON", mb / rapidParse.best, mb / rapidWrite.best},
        {"nlohmann", mb / nlohmannParse.best, mb / nlohmannWrite.best},
        {"simdjson", mb / simdParse.best, 0},
    };
    const Row& ours = rows[0];
    const Row& rapid = rows[1];
    for (const Row& row : rows) {
      std::printf("%-18s %-10s %11.1f %8.2f", baseName(argv[arg]), row.name, row.parse,
                  row.parse / rapid.parse);
      if (row.write > 0) {
        std::printf(" %11.1f %8.2f\n", row.write, row.write / rapid.write);
      } else {
        std::printf(" %11s %8s\n", "-", "-");
      }
    }
    worstRatio = std::min(worstRatio, ours.parse / rapid.parse);
    worstNlohmann = std::min(worstNlohmann, ours.parse / rows[2].parse);
    worstWriter = std::min(worstWriter, ours.write / rapid.write);
    worstSimd = std::min(worstSimd, ours.parse / rows[3].parse);
  }
  std::printf("smallest parse ratio to nlohmann::json: %.2f (goal 3.0)\n", worstNlohmann);
  std::printf("smallest write ratio to RapidJSON: %.2f (goal 2.0)\n", worstWriter);
  if (sink == 42) std::puts("");
  std::printf("json: ratio %.2f (goal 2.0)\n", worstRatio);
  std::printf("json: simdjson parse ratio %.2f (goal 0.5)\n", worstSimd);
  return 0;
}
