// The blob store's writer: a blob is named by the SHA-256 of exactly the
// bytes stored, however its writes are cut, whether a helper thread hashes it
// or (when too many writers run at once) the writer itself.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/BlobStore.h"
#include "server/Secrets.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::server {
namespace {

std::string sha256(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  return Secrets::toHex(digest, length);
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class BlobStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(store_.prepare().ok()); }

  // Checks a sealed and placed writer against the content it was given.
  void expectStored(BlobStore::Writer& writer, const std::string& content,
                    const std::string& what) {
    const auto blob = writer.seal();
    ASSERT_TRUE(blob) << what;
    EXPECT_EQ(blob->hash, sha256(content)) << what;
    EXPECT_EQ(blob->size, static_cast<std::int64_t>(content.size())) << what;
    ASSERT_TRUE(writer.place()) << what;
    EXPECT_TRUE(readFile(store_.pathOf(blob->hash)) == content) << what;
  }

  test::TemporaryFolder folder_{"nbserver-blobs"};
  BlobStore store_{folder_.path().string()};
};

TEST_F(BlobStoreTest, ABlobIsNamedByTheBytesStoredHoweverItsWritesAreCut) {
  constexpr std::size_t kSlot = 256 << 10;  // the writer's unit of hashing and writing
  const std::size_t sizes[] = {0, 1, kSlot - 1, kSlot, kSlot + 1, (3 << 20) + 123};
  const std::size_t pieces[] = {1000000000, 4093, kSlot, 300000};
  unsigned seed = 0;
  for (const std::size_t size : sizes) {
    for (const std::size_t piece : pieces) {
      if (piece < 4096 && size > (1 << 20)) continue;  // slow, and cut finer than it matters
      const std::string content = randomBytes(size, ++seed);
      auto writer = store_.begin();
      ASSERT_TRUE(writer);
      for (std::size_t at = 0; at < size; at += piece) {
        ASSERT_TRUE(writer->write(content.data() + at, std::min(piece, size - at)));
      }
      std::ostringstream what;
      what << size << " bytes in pieces of " << piece;
      expectStored(*writer, content, what.str());
    }
  }
}

TEST_F(BlobStoreTest, WritersBeyondTheHelperThreadsHashOnTheirOwn) {
  // More writers at once than helpers are allowed: the first ones get a
  // helper, the others go on hashing by themselves and try again later.
  const std::size_t count = std::max(2u, std::thread::hardware_concurrency()) + 3;
  constexpr std::size_t kSize = (5 << 20) + 17, kPiece = 100000;
  std::vector<std::string> contents;
  std::vector<std::unique_ptr<BlobStore::Writer>> writers;
  for (std::size_t i = 0; i < count; ++i) {
    contents.push_back(randomBytes(kSize, 1000 + static_cast<unsigned>(i)));
    writers.push_back(store_.begin());
    ASSERT_TRUE(writers.back());
  }
  for (std::size_t at = 0; at < kSize; at += kPiece) {
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_TRUE(writers[i]->write(contents[i].data() + at, std::min(kPiece, kSize - at)));
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    expectStored(*writers[i], contents[i], "writer " + std::to_string(i));
  }
}

}  // namespace
}  // namespace nb::server
