// Client paths become canonical stored paths, or are refused when they could
// leave the user's tree or hold what no name may hold.
#include "server/StoragePath.h"

#include <gtest/gtest.h>

namespace nb::server {
namespace {

TEST(StoragePathTest, Normalise) {
  const std::optional<std::string> refused;
  struct Case {
    std::string in;
    std::optional<std::string> out;
  } cases[] = {
      {"", "/"},
      {"/", "/"},
      {"a/b", "/a/b"},
      {"//a///b/", "/a/b"},
      {"/./a/.", "/a"},
      {"/a b/ünï", "/a b/ünï"},
      {"/..", refused},
      {"/a/../b", refused},
      {"..", refused},
      {"/a/..", refused},
      {"/...", "/..."},
      {std::string("/a\0b", 4), refused},
      {"/a\nb", refused},
      {"/a\x7f", refused},
      {"/\xC0\xAF", refused},             // overlong "/"
      {"/\xED\xA0\x80", refused},         // a surrogate
      {"/\xE2\x82", refused},             // cut short
      {"/" + std::string(255, 'n'), "/" + std::string(255, 'n')},
      {"/" + std::string(256, 'n'), refused},
      {std::string(2049, 'a') + "/" + std::string(2049, 'b'), refused},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StoragePath::normalise(c.in), c.out) << c.in;
  }
}

TEST(StoragePathTest, PartsOfAPath) {
  EXPECT_EQ(StoragePath::parent("/a"), "/");
  EXPECT_EQ(StoragePath::parent("/a/b"), "/a");
  EXPECT_EQ(StoragePath::name("/a/b.txt"), "b.txt");
  EXPECT_EQ(StoragePath::extension("/a/B.TXT"), "txt");
  EXPECT_EQ(StoragePath::extension("/a/.profile"), "");
  EXPECT_TRUE(StoragePath::within("/a/b", "/a"));
  EXPECT_TRUE(StoragePath::within("/a", "/a"));
  EXPECT_FALSE(StoragePath::within("/ab", "/a"));
  EXPECT_TRUE(StoragePath::validRoot("app"));
  EXPECT_FALSE(StoragePath::validRoot(".."));
  EXPECT_FALSE(StoragePath::validRoot(""));
}

}  // namespace
}  // namespace nb::server
