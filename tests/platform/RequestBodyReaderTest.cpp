// Reading a body of parts: bytes, shared bytes and files in order, a read
// filling its buffer across parts, restarting at an offset, and refusing
// shared bytes whose owner changed their length.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "nb/platform/internal/RequestBodyReader.h"

namespace nb {
namespace {

// Reads everything in steps of `step` bytes; "<error>" on a failed read.
std::string readAll(RequestBodyReader& reader, std::size_t step) {
  std::string out;
  std::string buffer(step, '\0');
  for (;;) {
    const auto got = reader.read(buffer.data(), buffer.size());
    if (got < 0) return out + "<error>";
    if (got == 0) return out;
    out.append(buffer.data(), static_cast<std::size_t>(got));
  }
}

TEST(RequestBodyReaderTest, PartsAreReadInOrderWhateverTheStepAndFromAnyOffset) {
  const auto file =
      std::filesystem::temp_directory_path() / ("nb-reader-" + std::to_string(::getpid()) + ".bin");
  std::ofstream(file, std::ios::binary) << "FILE";
  const auto shared = std::make_shared<const std::string>("shared");
  const std::vector<URLRequestBodyPart> parts = {URLRequestBodyPart::bytes("ab"),
                                                 URLRequestBodyPart::sharedBytes(shared),
                                                 URLRequestBodyPart::bytes(""),
                                                 URLRequestBodyPart::file(file.string()),
                                                 URLRequestBodyPart::sharedBytes(nullptr),
                                                 URLRequestBodyPart::bytes("z")};
  const std::string whole = "absharedFILEz";

  std::string error;
  auto reader = RequestBodyReader::make(parts, &error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->length(), static_cast<std::int64_t>(whole.size()));
  for (std::size_t step : {1u, 3u, 64u}) {
    SCOPED_TRACE(step);
    for (std::int64_t offset : {0, 2, 5, 8, 12, 13}) {
      ASSERT_TRUE(reader->seek(offset));
      EXPECT_EQ(readAll(*reader, step), whole.substr(static_cast<std::size_t>(offset)));
    }
  }
  // One read takes as much as the buffer holds, across part boundaries.
  ASSERT_TRUE(reader->seek(1));
  char buffer[64];
  EXPECT_EQ(reader->read(buffer, sizeof buffer), static_cast<std::int64_t>(whole.size() - 1));
  EXPECT_FALSE(reader->seek(-1));
  EXPECT_FALSE(reader->seek(14));
  std::filesystem::remove(file);
}

// A file part's observer sees each byte read with its offset in the file; a
// body sent again shows the file from its start again.
TEST(RequestBodyReaderTest, AFilePartsObserverSeesItsBytesWithTheirOffsets) {
  const auto file =
      std::filesystem::temp_directory_path() / ("nb-observed-" + std::to_string(::getpid()));
  std::ofstream(file, std::ios::binary) << "FILE";
  std::string seen;
  URLRequestBodyPart part = URLRequestBodyPart::file(file.string());
  part.observer = std::make_shared<const std::function<void(std::int64_t, std::string_view)>>(
      [&](std::int64_t offset, std::string_view bytes) {
        seen += std::to_string(offset) + ":" + std::string(bytes) + " ";
      });
  std::string error;
  const std::vector<URLRequestBodyPart> parts = {URLRequestBodyPart::bytes("ab"), part};
  auto reader = RequestBodyReader::make(parts, &error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(readAll(*reader, 3), "abFILE");
  ASSERT_TRUE(reader->seek(0));
  EXPECT_EQ(readAll(*reader, 4), "abFILE");
  EXPECT_EQ(seen, "0:F 1:ILE 0:FI 2:LE ");
  std::filesystem::remove(file);
}

TEST(RequestBodyReaderTest, SharedBytesThatChangeLengthFailTheReadInsteadOfOverrunning) {
  for (const std::size_t newLength : {std::size_t{2}, std::size_t{1 << 20}}) {
    SCOPED_TRACE(newLength);
    auto owner = std::make_shared<std::string>("0123456789");
    std::string error;
    const std::vector<URLRequestBodyPart> parts = {URLRequestBodyPart::sharedBytes(owner)};
    auto reader = RequestBodyReader::make(parts, &error);
    ASSERT_TRUE(reader) << error;
    char buffer[4];
    ASSERT_EQ(reader->read(buffer, sizeof buffer), 4);
    owner->resize(newLength, 'x');  // the owner moved or shortened its bytes
    EXPECT_EQ(reader->read(buffer, sizeof buffer), -1);
    EXPECT_NE(reader->error().find("changed length"), std::string::npos) << reader->error();
  }
}

}  // namespace
}  // namespace nb
