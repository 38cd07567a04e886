#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "nb/Private/NSStringHelper.h"

namespace nb {
namespace {

TEST(NSStringHelperTest, PercentEncoding) {
  const struct {
    std::optional<std::string> in;
    std::string out;
  } cases[] = {
      {std::nullopt, ""},
      {"", ""},
      {"a b&c=d/e~f", "a%20b%26c%3Dd%2Fe~f"},
      {"100%", "100%25"},
      {"*'()!", "%2A%27%28%29%21"},
      {"AZaz09-._~", "AZaz09-._~"},
      {"中", "%E4%B8%AD"},
      {"+,;:@?$#\"<>\t\n", "%2B%2C%3B%3A%40%3F%24%23%22%3C%3E%09%0A"},
      {std::string("\0\x7f", 2), "%00%7F"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NSStringHelper::urlEncodeCovertString(c.in), c.out) << c.out;
  }
}

TEST(NSStringHelperTest, EveryByteEncodesAlikeWhereverItStandsInALongString) {
  // Long strings go through a block-at-a-time path: each byte value, at each
  // place of a block and in the tail, against a plain byte-by-byte encoder.
  const auto reference = [](const std::string& in, bool twice) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : in) {
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '.' || c == '_' || c == '~') {
        out += static_cast<char>(c);
      } else {
        out += twice ? "%25" : "%";
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    }
    return out;
  };
  for (int byte = 0; byte < 256; ++byte) {
    for (std::size_t at = 0; at < 37; ++at) {
      std::string in(37, 'k');
      in[at] = static_cast<char>(byte);
      in[(at + 17) % 37] = '~';
      const std::string once = reference(in, false);
      ASSERT_EQ(NSStringHelper::urlEncodeCovertString(in), once) << byte << " at " << at;
      ASSERT_EQ(NSStringHelper::urlEncodedLength(in), once.size()) << byte << " at " << at;
      std::string twice(in.size() * 5, '\0');
      twice.resize(static_cast<std::size_t>(NSStringHelper::writeUrlEncodedTwice(twice.data(), in) -
                                            twice.data()));
      ASSERT_EQ(twice, reference(in, true)) << byte << " at " << at;
    }
  }
}

TEST(NSStringHelperTest, TimestampTruncatesTowardZero) {
  using namespace std::chrono;
  // 2012-12-07 10:00:00.9 UTC
  const system_clock::time_point t = system_clock::time_point(seconds(1354874400)) + milliseconds(900);
  EXPECT_EQ(NSStringHelper::timestamp(t), "1354874400");
  EXPECT_EQ(NSStringHelper::timestamp(system_clock::time_point(seconds(0))), "0");
  // Past 2038 the value keeps counting instead of wrapping negative.
  EXPECT_EQ(NSStringHelper::timestamp(system_clock::time_point(seconds(4102444800))), "4102444800");
}

TEST(NSStringHelperTest, GuidsAreFreshUppercaseUuids) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string guid = NSStringHelper::genericGUID();
    ASSERT_EQ(guid.size(), 36u);
    for (std::size_t k = 0; k < guid.size(); ++k) {
      if (k == 8 || k == 13 || k == 18 || k == 23) {
        EXPECT_EQ(guid[k], '-');
      } else {
        EXPECT_TRUE(std::isdigit(guid[k]) || (guid[k] >= 'A' && guid[k] <= 'F')) << guid;
      }
    }
    EXPECT_EQ(guid[14], '4');
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

// Random bytes are drawn ahead in batches; a forked child must not send the
// nonces its parent is about to send.
TEST(NSStringHelperTest, ForkedChildDrawsOtherGuidsThanItsParent) {
  NSStringHelper::genericGUID();  // the parent now holds a batch
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string guids;
    for (int i = 0; i < 3; ++i) guids += NSStringHelper::genericGUID();
    const bool written =
        write(fds[1], guids.data(), guids.size()) == static_cast<ssize_t>(guids.size());
    _exit(written ? 0 : 1);
  }
  close(fds[1]);
  std::string fromChild(3 * 36, '\0');
  std::size_t got = 0;
  while (got < fromChild.size()) {
    const ssize_t n = read(fds[0], fromChild.data() + got, fromChild.size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(got, fromChild.size());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int i = 0; i < 3; ++i) {
    const std::string parentGuid = NSStringHelper::genericGUID();
    for (int k = 0; k < 3; ++k) EXPECT_NE(fromChild.substr(k * 36, 36), parentGuid);
  }
}

}  // namespace
}  // namespace nb
