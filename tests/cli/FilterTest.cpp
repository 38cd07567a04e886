// Which entries of a walk the filters leave out: gitignore rules from the
// command line, --filter-from and .nbignore files, --include, and the size and
// age limits, as a table of patterns against one fixed tree.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/sync/Filter.h"
#include "tests/cli/TreeText.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::cli {
namespace {

constexpr long long kNow = 1'000'000;

// The fixed tree: "d" folders, "f" files with a size and a time.
TreeListing fixedTree() {
  const std::vector<std::string> lines = {
      "d a",
      "f a/keep.txt 10 999999",
      "f a/x.log 10 999999",
      "d a/build",
      "f a/build/o.o 10 999999",
      "d build",
      "f build/y 10 999999",
      "d docs",
      "f docs/a.txt 10 999999",
      "d docs/sub",
      "f docs/sub/b.txt 10 999999",
      "f big.bin 5000 999999",
      "f notes.md 10 999999",
      "f old.txt 10 1000",
      "f #hash 10 999999",
  };
  TreeListing listing;
  listing.entries = test::treeFromText(lines, test::readSizeAndTime);
  return listing;
}

std::string kept(const TreeListing& listing) {
  std::string text;
  for (const TreeEntry& entry : listing.entries) {
    text += (text.empty() ? "" : " ") + entry.relative;
  }
  return text;
}

TEST(FilterTest, PatternsAgainstAFixedTree) {
  const std::string all =
      "a a/keep.txt a/x.log a/build a/build/o.o build build/y docs docs/a.txt docs/sub "
      "docs/sub/b.txt big.bin notes.md old.txt #hash";
  struct Case {
    const char* name;
    FilterOptions options;
    std::vector<std::pair<std::string, std::string>> ignoreFiles;  // folder, text
    std::string kept;
  };
  const std::vector<Case> cases = {
      {"no filter", {}, {}, all},
      {"a name at any depth, folders taking their contents",
       {.excludes = {"build"}},
       {},
       "a a/keep.txt a/x.log docs docs/a.txt docs/sub docs/sub/b.txt big.bin notes.md old.txt "
       "#hash"},
      {"anchored by a leading slash",
       {.excludes = {"/build"}},
       {},
       "a a/keep.txt a/x.log a/build a/build/o.o docs docs/a.txt docs/sub docs/sub/b.txt big.bin "
       "notes.md old.txt #hash"},
      {"a trailing slash matches folders only",
       {.excludes = {"*.txt/", "sub/"}},
       {},
       "a a/keep.txt a/x.log a/build a/build/o.o build build/y docs docs/a.txt big.bin notes.md "
       "old.txt #hash"},
      {"a slash inside anchors; * stops at a slash",
       {.excludes = {"docs/*.txt"}},
       {},
       "a a/keep.txt a/x.log a/build a/build/o.o build build/y docs docs/sub docs/sub/b.txt "
       "big.bin notes.md old.txt #hash"},
      {"** crosses folders",
       {.excludes = {"docs/**/*.txt", "**/o.o"}},
       {},
       "a a/keep.txt a/x.log a/build build build/y docs docs/sub big.bin notes.md old.txt #hash"},
      {"! takes back what an earlier rule left out",
       {.excludes = {"*.txt", "!keep.txt"}},
       {},
       "a a/keep.txt a/x.log a/build a/build/o.o build build/y docs docs/sub big.bin notes.md "
       "#hash"},
      {"? and classes",
       {.excludes = {"?.txt", "[n-o]*", "[!a-z]*"}},
       {},
       "a a/keep.txt a/x.log a/build build build/y docs docs/sub big.bin"},
      {"an escaped # is a name",
       {.excludes = {"\\#hash"}},
       {},
       "a a/keep.txt a/x.log a/build a/build/o.o build build/y docs docs/a.txt docs/sub "
       "docs/sub/b.txt big.bin notes.md old.txt"},
      {"--include keeps matching files only, folders walked",
       {.includes = {"*.txt"}},
       {},
       "a a/keep.txt a/build build docs docs/a.txt docs/sub docs/sub/b.txt old.txt"},
      {"sizes and age",
       {.minSize = 10, .maxSize = 4999, .maxAgeSeconds = 3600},
       {},
       "a a/keep.txt a/x.log a/build a/build/o.o build build/y docs docs/a.txt docs/sub "
       "docs/sub/b.txt notes.md #hash"},
      {".nbignore matches below its folder; a deeper one decides",
       {},
       {{"", "*.log\n# a comment\n\n*.md\n"}, {"a", "!x.log\nbuild/\n"}, {"docs", "/a.txt"}},
       "a a/keep.txt a/x.log build build/y docs docs/sub docs/sub/b.txt big.bin old.txt #hash"},
      {"the command line decides over .nbignore", {.excludes = {"!notes.md"}}, {{"", "*.md"}}, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto filter = Filter::make(c.options, kNow);
    ASSERT_TRUE(filter.ok());
    for (const auto& [folder, text] : c.ignoreFiles) filter->addIgnoreFile(folder, text);
    TreeListing listing = fixedTree();
    std::vector<Skip> filtered;
    filter->apply(listing, &filtered);
    EXPECT_EQ(kept(listing), c.kept);
    for (const Skip& skip : filtered) EXPECT_FALSE(skip.reason.empty()) << skip.path;
  }
}

TEST(FilterTest, AFilterFileIsReadAndAMissingOneRefused) {
  test::TemporaryFolder folder("nb-filter");
  const std::string rules = (folder.path() / "rules").string();
  std::ofstream(rules) << "# keep docs only\n*\n!docs/\n!docs/**\n";
  auto filter = Filter::make({.filterFiles = {rules}}, kNow);
  ASSERT_TRUE(filter.ok());
  TreeListing listing = fixedTree();
  filter->apply(listing, nullptr);
  EXPECT_EQ(kept(listing), "docs docs/a.txt docs/sub docs/sub/b.txt");
  EXPECT_EQ(Filter::make({.filterFiles = {rules + ".missing"}}, kNow).status().code(),
            StatusCode::kIOError);
}

}  // namespace
}  // namespace nb::cli
