// Uploads, downloads, thumbnails and document conversions against a real
// nbserver on loopback ports, with the bytes compared end to end.
#include <gtest/gtest.h>

#include <random>

#include "nb/Private/internal/MultipartFormBody.h"
#include "nb/operations/NBDocumentConvertOperation.h"
#include "nb/operations/NBDownloadFileOperation.h"
#include "nb/operations/NBThumbnailOperation.h"
#include "nb/operations/NBUploadFileOperation.h"
#include "nb/platform/RunLoop.h"
#include "tests/operations/TransferTestSupport.h"
#include "tests/support/AccessTokenForTest.h"
#include "tests/support/NbServerProcess.h"
#include "tests/support/SamplePng.h"

namespace nb {
namespace {

namespace fs = std::filesystem;
using testing::RecordingDelegate;

std::string pseudoRandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
  return bytes;
}

class TransferEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new test::NbServerProcess();
    ASSERT_TRUE(server_->ok()) << server_->error();
    server_->setEnvironment();
    ASSERT_TRUE(server_->addUser("transfer", "secret-pw"));
    const std::string error =
        test::installAccessToken(server_->env("NB_CONSUMER_KEY"),
                                 server_->env("NB_CONSUMER_SECRET"), "transfer", "secret-pw");
    ASSERT_EQ(error, "");
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  // Runs `operation` until its delegate has an outcome (or 120 s pass).
  static void run(const std::shared_ptr<NBOperation>& operation, RecordingDelegate& delegate) {
    operation->executeOperation();
    RunLoop::current().runUntil([&] { return delegate.outcomes() > 0; }, std::chrono::seconds(120));
    // A second outcome would arrive right after the first; give it the chance.
    RunLoop::current().runUntil([] { return false; }, std::chrono::milliseconds(20));
    EXPECT_EQ(delegate.outcomes(), 1u);
  }

  static std::string upload(const std::string& path, const std::string& bytes, bool fromDisk,
                            bool overwrite, RecordingDelegate& delegate) {
    auto item = std::make_shared<NBUploadFileOperationItem>();
    item->root = "app";
    item->path = path;
    item->fileName = fs::path(path).filename().string();
    item->isOverwrite = overwrite;
    if (fromDisk) {
      item->filePath = (home_.path() / "source.bin").string();
      testing::writeFile(*item->filePath, bytes);
    } else {
      item->fileData = bytes;
    }
    run(std::make_shared<NBUploadFileOperation>(&delegate, item), delegate);
    return delegate.successes.empty() ? "" : *delegate.successes[0].textValue();
  }

  static std::optional<std::string> download(const std::string& path, RecordingDelegate& delegate) {
    auto item = std::make_shared<NBFolderOperationItem>();
    item->root = "app";
    item->path = path;
    run(std::make_shared<NBDownloadFileOperation>(&delegate, item), delegate);
    if (delegate.successes.empty()) return std::nullopt;
    return *delegate.successes[0].textValue();
  }

  static inline test::NbServerProcess* server_ = nullptr;
  static inline testing::TemporaryHome home_;
};

TEST_F(TransferEndToEndTest, UploadedFilesComeBackByteForByte) {
  struct Case {
    std::size_t size;
    bool fromDisk;
  } cases[] = {{0, false},         {1, true},        {64 * 1024 + 1, false}, {64 * 1024 + 1, true},
               {50u << 20, false}, {50u << 20, true}};
  for (const Case& c : cases) {
    const std::string path = "/round-" + std::to_string(c.size) + (c.fromDisk ? "-disk" : "-mem");
    SCOPED_TRACE(path);
    const std::string bytes = pseudoRandomBytes(c.size, static_cast<unsigned>(c.size));

    RecordingDelegate up;
    const std::string reply = upload(path, bytes, c.fromDisk, false, up);
    ASSERT_EQ(up.successes.size(), 1u) << (up.failures.empty() ? "" : up.failures[0]);
    EXPECT_NE(reply.find('{'), std::string::npos) << reply;
    if (c.size > 0) {
      ASSERT_FALSE(up.progress.empty());
      const auto [written, expected] = up.progress.back();
      EXPECT_EQ(written, expected);
      const std::string name = fs::path(path).filename().string();
      EXPECT_EQ(expected,
                static_cast<std::int64_t>(MultipartFormBody::partHeader(name).size() +
                                          MultipartFormBody::closingLine().size() + c.size));
    }

    RecordingDelegate down;
    const auto file = download(path, down);
    ASSERT_TRUE(file) << (down.failures.empty() ? "" : down.failures[0]);
    EXPECT_EQ(*file, NBDownloadFileOperation::temporaryFilePath("app", path));
    EXPECT_TRUE(testing::fileContents(*file) == bytes);
    if (c.size > 0) {
      EXPECT_EQ(down.progress.back(), std::make_pair(static_cast<std::int64_t>(c.size),
                                                     static_cast<std::int64_t>(c.size)));
    }
  }
}

TEST_F(TransferEndToEndTest, RefusalsArriveOnceWithTheirTableMessages) {
  RecordingDelegate first, clash, replaced;
  upload("/clash.txt", "one", false, false, first);
  ASSERT_EQ(first.successes.size(), 1u);
  upload("/clash.txt", "two", false, false, clash);
  EXPECT_EQ(clash.failures, std::vector<std::string>{"同名文件（夹）已存在"});
  upload("/clash.txt", "three", true, true, replaced);
  EXPECT_EQ(replaced.successes.size(), 1u);

  RecordingDelegate missing;
  EXPECT_FALSE(download("/no/such/file", missing));
  EXPECT_EQ(missing.failures, std::vector<std::string>{"文件不存在"});
  EXPECT_FALSE(fs::exists(NBDownloadFileOperation::temporaryFilePath("app", "/no/such/file")));
}

TEST_F(TransferEndToEndTest, ACancelledDownloadLeavesNoPartialFile) {
  RecordingDelegate up;
  upload("/cancelled.bin", pseudoRandomBytes(8u << 20, 8), false, true, up);
  ASSERT_EQ(up.successes.size(), 1u);

  // Cancels from inside the first progress call, with most of the body still to come.
  struct Canceller : RecordingDelegate {
    void operationTotalBytesWritten(NBOperation* operation, std::int64_t written,
                                    std::int64_t expected) override {
      RecordingDelegate::operationTotalBytesWritten(operation, written, expected);
      if (progress.size() == 1) operation->cancelOperation();
    }
  } delegate;
  auto item = std::make_shared<NBFolderOperationItem>();
  item->root = "app";
  item->path = "/cancelled.bin";
  auto operation = std::make_shared<NBDownloadFileOperation>(&delegate, item);
  operation->executeOperation();
  RunLoop::current().runUntil([&] { return !delegate.progress.empty(); }, std::chrono::seconds(60));
  RunLoop::current().runUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(delegate.progress.size(), 1u);
  EXPECT_EQ(delegate.outcomes(), 0u);
  EXPECT_FALSE(fs::exists(NBDownloadFileOperation::temporaryFilePath("app", "/cancelled.bin")));
}

TEST_F(TransferEndToEndTest, ThumbnailsArePngImages) {
  const std::string png = test::samplePng();
  RecordingDelegate up;
  upload("/p.png", png, false, true, up);
  ASSERT_EQ(up.successes.size(), 1u);

  struct Case {
    const char* path;
    int width, height;
    bool ok;
  } cases[] = {{"/p.png", 8, 6, true}, {"/missing.png", 8, 6, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    RecordingDelegate delegate;
    auto item = std::make_shared<NBThumbnailOperationItem>();
    item->root = "app";
    item->path = c.path;
    item->width = c.width;
    item->height = c.height;
    run(std::make_shared<NBThumbnailOperation>(&delegate, item), delegate);
    if (!c.ok) {
      EXPECT_EQ(delegate.failures, std::vector<std::string>{"无此文件"});
      continue;
    }
    ASSERT_EQ(delegate.successes.size(), 1u)
        << (delegate.failures.empty() ? "" : delegate.failures[0]);
    const auto* bytes = delegate.successes[0].bytesValue();
    ASSERT_NE(bytes, nullptr);
    ASSERT_GT(bytes->size(), 8u);
    EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 8), png.substr(0, 8));
  }
}

TEST_F(TransferEndToEndTest, DocumentsConvertToAPageOrAnArchive) {
  RecordingDelegate up;
  upload("/notes.txt", "first line\nsecond <line>\n", false, true, up);
  ASSERT_EQ(up.successes.size(), 1u);

  struct Case {
    std::int32_t compressType;
    const char* extension;
    const char* starts;  // what the file begins with
  } cases[] = {{0, ".html", ""}, {1, ".zip", "PK"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension);
    RecordingDelegate delegate;
    auto item = std::make_shared<NBDocumentConvertOperationItem>();
    item->root = "app";
    item->path = "/notes.txt";
    item->documentType = 9;  // txt
    item->compressType = c.compressType;
    run(std::make_shared<NBDocumentConvertOperation>(&delegate, item), delegate);
    ASSERT_EQ(delegate.successes.size(), 1u)
        << (delegate.failures.empty() ? "" : delegate.failures[0]);
    const std::string path = *delegate.successes[0].textValue();
    EXPECT_EQ(path, NBDownloadFileOperation::temporaryFilePath("app", "/notes") + c.extension);
    const std::string contents = testing::fileContents(path);
    EXPECT_EQ(contents.rfind(c.starts, 0), 0u);
    if (c.compressType == 0) {
      EXPECT_NE(contents.find("second &lt;line&gt;"), std::string::npos) << contents;
    }
  }
}

}  // namespace
}  // namespace nb
