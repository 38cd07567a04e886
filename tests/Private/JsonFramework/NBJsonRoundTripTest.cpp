// Parse, write, parse again: every shared corpus comes back as an equal document,
// in both layouts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "nb/Private/JsonFramework/NBJSON.h"
#include "tests/Private/JsonFramework/JsonTestSupport.h"

namespace nb {
namespace {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The generated number corpus, made once per test run in a private folder.
std::filesystem::path numbersCorpus() {
  static const std::filesystem::path path = [] {
    auto dir = std::filesystem::temp_directory_path() /
               ("nb-json-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand()));
    std::filesystem::create_directories(dir);
    const std::string command = "python3 " NB_SHARED_DATA "/json/make_numbers.py '" +
                                (dir / "numbers.json").string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return dir / "numbers.json";
  }();
  return path;
}

class NBJsonRoundTripTest : public ::testing::TestWithParam<std::string> {};

TEST_P(NBJsonRoundTripTest, WrittenTextParsesToAnEqualDocument) {
  const std::string name = GetParam();
  const auto path = name == "numbers.json" ? numbersCorpus()
                                           : std::filesystem::path(NB_SHARED_DATA "/json") / name;
  const std::string text = readFile(path);
  ASSERT_FALSE(text.empty()) << path;

  NBJSON json;
  const auto original = json.objectWithString(text);
  ASSERT_TRUE(original) << json.lastError()->description;
  for (const bool humanReadable : {false, true}) {
    json.setHumanReadable(humanReadable);
    json.setSortKeys(humanReadable);
    const auto written = json.stringWithObject(*original);
    ASSERT_TRUE(written);
    const auto again = json.objectWithString(*written);
    ASSERT_TRUE(again);
    EXPECT_TRUE(*again == *original) << name << " humanReadable=" << humanReadable;
    // Writing is deterministic: the second generation is the same text.
    EXPECT_EQ(json.stringWithObject(*again), written);
  }
  if (name == "numbers.json") std::filesystem::remove_all(path.parent_path());
}

INSTANTIATE_TEST_SUITE_P(Corpora, NBJsonRoundTripTest,
                         ::testing::Values("twitter.json", "citm_catalog.json", "numbers.json"));

}  // namespace
}  // namespace nb
