// Parse and write throughput of our JSON codec against RapidJSON (Document::Parse,
// Writer<StringBuffer>), nlohmann::json (parse, dump) and simdjson (dom::parser,
// parse only) on the files named on the command line. Each figure is the best of
// several timed rounds, so that a busy machine disturbs it as little as possible.
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <algorithm>
#include <chrono>
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

// Best seconds per call of `f` over rounds of about 40 ms each, for about `budget` s.
double bestSeconds(const std::function<std::size_t()>& f, double budget = 0.6) {
  using Clock = std::chrono::steady_clock;
  sink += f();  // warm-up
  double best = 1e30;
  const auto deadline = Clock::now() + std::chrono::duration<double>(budget);
  int calls = 1;
  while (Clock::now() < deadline) {
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) sink += f();
    const double each = std::chrono::duration<double>(Clock::now() - start).count() / calls;
    best = std::min(best, each);
    if (each * calls < 0.04) calls *= 2;
  }
  return best;
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
  double worstRatio = 1e30, worstNlohmann = 1e30, worstWriter = 1e30;
  std::printf("%-18s %-10s %11s %8s %11s %8s\n", "file", "library", "parse MB/s", "vs Rapid",
              "write MB/s", "vs Rapid");
  for (int arg = 1; arg < argc; ++arg) {
    const std::string text = readFile(argv[arg]);
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::vector<Row> rows;

    // Ours.
    {
      Row row{"nb"};
      nb::NBJsonParser parser;
      row.parse = mb / bestSeconds([&] { return parser.objectWithString(text)->size(); });
      const auto value = parser.objectWithString(text);
      nb::NBJsonWriter writer;
      row.write = mb / bestSeconds([&] { return writer.stringWithObject(*value)->size(); });
      rows.push_back(row);
    }
    // RapidJSON.
    {
      Row row{"RapidJSON"};
      row.parse = mb / bestSeconds([&] {
        rapidjson::Document d;
        d.Parse(text.c_str(), text.size());
        return static_cast<std::size_t>(d.HasParseError() ? 0 : d.MemberCount() + 1);
      });
      rapidjson::Document d;
      d.Parse(text.c_str(), text.size());
      row.write = mb / bestSeconds([&] {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        d.Accept(writer);
        return buffer.GetSize();
      });
      rows.push_back(row);
    }
    // nlohmann::json.
    {
      Row row{"nlohmann"};
      row.parse = mb / bestSeconds([&] { return nlohmann::json::parse(text).size(); }, 0.3);
      const auto j = nlohmann::json::parse(text);
      row.write = mb / bestSeconds([&] { return j.dump().size(); }, 0.3);
      rows.push_back(row);
    }
    // simdjson, parse only.
    {
      Row row{"simdjson"};
      simdjson::dom::parser parser;
      const simdjson::padded_string padded(text);
      row.parse = mb / bestSeconds([&] {
        simdjson::dom::element e;
        return static_cast<std::size_t>(parser.parse(padded).get(e) == simdjson::SUCCESS);
      });
      rows.push_back(row);
    }

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
  }
  std::printf("smallest parse ratio to nlohmann::json: %.2f (goal 3.0)\n", worstNlohmann);
  std::printf("smallest write ratio to RapidJSON: %.2f (goal 1.0)\n", worstWriter);
  if (sink == 42) std::puts("");
  std::printf("json: ratio %.2f (goal 1.0)\n", worstRatio);
  return 0;
}
