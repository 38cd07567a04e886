// The emulator's own zip writer (stored entries, no compression) checked by
// two independent readers: Info-ZIP's unzip and Python's zipfile.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "server/ZipWriter.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::server {
namespace {

TEST(ZipWriterTest, Crc32MatchesTheStandardCheckValue) {
  EXPECT_EQ(ZipWriter::crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(ZipWriter::crc32(""), 0u);
}

TEST(ZipWriterTest, OtherReadersAcceptTheArchive) {
  test::TemporaryFolder folder("zipwriter");
  ASSERT_TRUE(folder.ok());
  std::string binary;
  for (int i = 0; i < 70000; ++i) binary.push_back(static_cast<char>(i * 7));
  ZipWriter zip;
  zip.add("index.html", "<p>hello</p>");
  zip.add("empty.txt", "");
  zip.add("data/bytes.bin", binary);
  const std::string file = (folder.path() / "out.zip").string();
  { std::ofstream(file, std::ios::binary) << zip.finish(); }

  EXPECT_EQ(std::system(("unzip -tqq '" + file + "'").c_str()), 0);
  const std::string check =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "assert z.testzip() is None\n"
      "assert z.namelist() == ['index.html', 'empty.txt', 'data/bytes.bin'], z.namelist()\n"
      "assert z.read('index.html') == b'<p>hello</p>'\n"
      "assert z.read('empty.txt') == b''\n"
      "assert z.read('data/bytes.bin') == bytes((i * 7) % 256 for i in range(70000))\n";
  { std::ofstream(folder.path() / "check.py") << check; }
  EXPECT_EQ(std::system(
                ("/usr/bin/python3 '" + (folder.path() / "check.py").string() + "' '" + file + "'")
                    .c_str()),
            0);
}

}  // namespace
}  // namespace nb::server
