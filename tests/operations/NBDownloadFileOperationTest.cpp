// The response side of downloads and conversions, over scripted replies: no
// server is involved.
#include <gtest/gtest.h>
#include <unistd.h>

#include "nb/operations/NBDocumentConvertOperation.h"
#include "nb/operations/NBDownloadFileOperation.h"
#include "nb/platform/URLConnection.h"
#include "tests/operations/TransferTestSupport.h"

namespace nb {
namespace {

namespace fs = std::filesystem;
using testing::RecordingDelegate;
using testing::TemporaryHome;

// Opens the step that executeOperation runs before the first request.
template <class Operation>
class Driven : public Operation {
 public:
  using Operation::internalInit;
  using Operation::Operation;
  const std::string& tempFilePath() const { return this->_tempFilePath; }
};

// A reply of `status` whose body arrives in `chunks`, with a Content-Length
// when `length` is given.
MemoryReply reply(int status, std::vector<std::string> chunks,
                  std::optional<std::int64_t> length = std::nullopt) {
  MemoryReply r;
  r.status = status;
  if (length) r.headers.emplace_back("Content-Length", std::to_string(*length));
  r.chunks = std::move(chunks);
  return r;
}

std::shared_ptr<NBFolderOperationItem> folderItem(std::string root, std::string path) {
  auto item = std::make_shared<NBFolderOperationItem>();
  item->root = std::move(root);
  item->path = std::move(path);
  return item;
}

class DownloadTest : public ::testing::Test {
 protected:
  // Downloads "app" `path` with `replies` as the service's answers; the
  // operation, once nothing of it runs any more.
  std::shared_ptr<NBDownloadFileOperation> download(const std::string& path,
                                                    std::vector<MemoryReply> replies,
                                                    NBOperationDelegate* delegate = nullptr) {
    auto op = std::make_shared<NBDownloadFileOperation>(delegate ? delegate : &delegate_,
                                                        folderItem("app", path));
    auto transport = std::make_shared<MemoryTransport>();
    for (auto& r : replies) transport->enqueue(std::move(r));
    testing::runScripted(*op, transport);
    return op;
  }
  fs::path file(const std::string& path) const {
    return home_.path().string() + "/tmp/app/" + path;
  }

  TemporaryHome home_;
  RecordingDelegate delegate_;
};

TEST_F(DownloadTest, TemporaryPathsKeepTheNamesUnchanged) {
  const std::string home = home_.path().string();
  EXPECT_EQ(NBDownloadFileOperation::temporaryFilePath("app", "/a.txt"), home + "/tmp/app//a.txt");

  struct Case {
    std::string path;
    std::int32_t compressType;
    std::string expected;
  } cases[] = {
      {"/docs/report.doc", 0, home + "/tmp/app//docs/report.html"},
      {"/docs/report.doc", 1, home + "/tmp/app//docs/report.zip"},
      {"/a.b/c", 0, home + "/tmp/app//a.b/c.html"},            // the dot is in a folder
      {"/x/.profile", 0, home + "/tmp/app//x/.profile.html"},  // a leading dot is no extension
      {"/x/archive.tar.gz", 1, home + "/tmp/app//x/archive.tar.zip"},
  };
  for (const Case& c : cases) {
    auto item = std::make_shared<NBDocumentConvertOperationItem>();
    item->root = "app";
    item->path = c.path;
    item->compressType = c.compressType;
    auto op = std::make_shared<Driven<NBDocumentConvertOperation>>(&delegate_, item);
    op->internalInit();
    EXPECT_EQ(op->tempFilePath(), c.expected) << c.path;
  }
}

TEST_F(DownloadTest, ChunksAreStreamedWithSixtyFourBitProgress) {
  struct Case {
    std::optional<std::int64_t> declared;
    std::int64_t expectedTotal;
  } cases[] = {{35, 35}, {std::nullopt, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expectedTotal);
    delegate_ = RecordingDelegate();
    const std::string body = std::string(10, 'a') + std::string(20, 'b') + std::string(5, 'c');
    download("/a.txt",
             {reply(200, {body.substr(0, 10), body.substr(10, 20), body.substr(30)}, c.declared)});
    using P = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(
        delegate_.progress,
        (std::vector<P>{{10, c.expectedTotal}, {30, c.expectedTotal}, {35, c.expectedTotal}}));
    ASSERT_EQ(delegate_.successes.size(), 1u);
    ASSERT_TRUE(delegate_.failures.empty());
    const std::string* path = delegate_.successes[0].textValue();
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(*path, file("/a.txt").string());
    EXPECT_EQ(testing::fileContents(*path), body);
  }
}

TEST_F(DownloadTest, AnEmptyBodyGivesAnEmptyFile) {
  download("/empty", {reply(200, {}, 0)});
  ASSERT_EQ(delegate_.successes.size(), 1u);
  EXPECT_TRUE(fs::is_regular_file(file("/empty")));
  EXPECT_EQ(fs::file_size(file("/empty")), 0u);
}

TEST_F(DownloadTest, RefusedStatusesFailOnceWithTheDownloadTable) {
  struct Case {
    int status;
    const char* message;
  } cases[] = {
      {404, "文件不存在"},
      {403, "文件不存在或者无权访问"},
      {401, "授权失败：请求验证错误(时间戳,nonce,签名，token等验证错误)"},
      {500, "文件不存在或者服务器内部错误"},
      {206, "文件不存在或者服务器内部错误"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    delegate_ = RecordingDelegate();
    // The error page is not written; the owner did not cancel: nothing more is reported.
    auto op = download("/a.txt", {reply(c.status, {"not ", "found"}, 9)});
    EXPECT_EQ(delegate_.failures, std::vector<std::string>{c.message});
    EXPECT_EQ(op->failureStatus().message(), c.message);
    EXPECT_TRUE(delegate_.successes.empty());
    EXPECT_TRUE(delegate_.progress.empty());
    EXPECT_FALSE(fs::exists(file("/a.txt")));
  }
}

// The files in `folder`, which holds a transfer's temporary file while it runs.
std::vector<std::string> filesIn(const fs::path& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST_F(DownloadTest, FailuresLeaveNoPartialFileAndTheEarlierCopyUntouched) {
  testing::writeFile(file("/dropped"), "earlier");
  // Transport failure after some bytes: the path never holds a partial copy.
  MemoryReply cut = reply(200, {"0123456789"}, 100);
  cut.ending = MemoryReply::Ending::kNetworkFailure;
  cut.failureText = "Connection reset.";
  auto dropped = download("/dropped", {cut});
  EXPECT_EQ(delegate_.failures, std::vector<std::string>{"Connection reset."});
  EXPECT_EQ(dropped->failureStatus().code(), StatusCode::kNetwork);
  EXPECT_EQ(testing::fileContents(file("/dropped")), "earlier");
  EXPECT_EQ(filesIn(file("/dropped").parent_path()), std::vector<std::string>{"dropped"});

  // A folder removed while writing: the bytes went nowhere.
  struct Remover : RecordingDelegate {
    fs::path folder;
    void operationTotalBytesWritten(NBOperation* op, std::int64_t written,
                                    std::int64_t expected) override {
      RecordingDelegate::operationTotalBytesWritten(op, written, expected);
      fs::remove_all(folder);
    }
  } remover;
  remover.folder = file("/gone");
  auto removed = download("/gone/a.txt", {reply(200, {"first", "second"})}, &remover);
  EXPECT_TRUE(remover.successes.empty());
  ASSERT_EQ(remover.failures.size(), 1u);
  EXPECT_NE(remover.failures[0].find("removed"), std::string::npos) << remover.failures[0];
  EXPECT_EQ(removed->failureStatus().code(), StatusCode::kIOError);
  EXPECT_FALSE(fs::exists(file("/gone/a.txt")));

  // The path is taken by a folder: the final rename fails with the system's
  // own reason, and the temporary file goes.
  delegate_ = RecordingDelegate();
  fs::create_directories(file("/blocked/inside"));
  auto blocked = download("/blocked", {reply(200, {"abc"}, 3)});
  EXPECT_TRUE(delegate_.successes.empty());
  ASSERT_EQ(delegate_.failures.size(), 1u);
  EXPECT_NE(delegate_.failures[0].find("Is a directory"), std::string::npos)
      << delegate_.failures[0];
  EXPECT_EQ(blocked->failureStatus().message(), delegate_.failures[0]);
  EXPECT_TRUE(fs::is_directory(file("/blocked/inside")));
  for (const std::string& name : filesIn(file("/blocked").parent_path())) {
    EXPECT_EQ(name.find(".part"), std::string::npos) << name;
  }
}

TEST_F(DownloadTest, TwoDownloadsOfOneFileBothSucceedWithACompleteCopy) {
  // Both run at once, their chunks interleaved; the one that finishes last
  // leaves its complete copy.
  RecordingDelegate second;
  auto transport = std::make_shared<MemoryTransport>();
  transport->enqueue(reply(200, {"aaa", "AAA"}, 6));
  transport->enqueue(reply(200, {"bbb", "BBB", ""}, 6));
  auto a = std::make_shared<NBDownloadFileOperation>(&delegate_, folderItem("app", "/same.txt"));
  auto b = std::make_shared<NBDownloadFileOperation>(&second, folderItem("app", "/same.txt"));
  const auto credentials = NBCredentialSource::fixed(NBConsumer("ck", "cs"), NBToken("tk", "ts"));
  for (const auto& op : {a, b}) {
    op->setTransport(transport);
    op->setCredentialSource(credentials);
    op->executeOperation();
  }
  ASSERT_TRUE(RunLoop::current().runUntil([&] { return transport->running() == 0; },
                                          std::chrono::seconds(5)));
  EXPECT_EQ(testing::fileContents(file("/same.txt")), "bbbBBB");
  EXPECT_EQ(delegate_.successes.size(), 1u);
  EXPECT_EQ(second.successes.size(), 1u);
  EXPECT_EQ(filesIn(file("/same.txt").parent_path()), std::vector<std::string>{"same.txt"});
}

TEST_F(DownloadTest, CancellingDropsTheTransferAndKeepsTheEarlierFile) {
  testing::writeFile(file("/a.txt"), "earlier");
  // No credentials are stored: nothing is sent, reported or touched.
  auto op = std::make_shared<NBDownloadFileOperation>(&delegate_, folderItem("app", "/a.txt"));
  op->executeOperation();
  EXPECT_EQ(delegate_.outcomes(), 0u);
  EXPECT_EQ(testing::fileContents(file("/a.txt")), "earlier");

  // Cancelled by its owner after the first chunk.
  struct Canceller : RecordingDelegate {
    void operationTotalBytesWritten(NBOperation* op, std::int64_t written,
                                    std::int64_t expected) override {
      RecordingDelegate::operationTotalBytesWritten(op, written, expected);
      op->cancelOperation();
    }
  } canceller;
  auto running = download("/a.txt", {reply(200, {"01234", "56789"}, 10)}, &canceller);
  EXPECT_EQ(canceller.outcomes(), 0u);
  EXPECT_EQ(running->failureStatus().code(), StatusCode::kCancelled);
  EXPECT_EQ(delegate_.outcomes(), 0u);
  EXPECT_EQ(testing::fileContents(file("/a.txt")), "earlier");
  EXPECT_EQ(filesIn(file("/a.txt").parent_path()), std::vector<std::string>{"a.txt"});
}

TEST_F(DownloadTest, AGivenCredentialSourceSignsInsteadOfTheKeychain) {
  const auto fixed = NBCredentialSource::fixed(NBConsumer("ck", "cs"), NBToken("tk", "ts"));
  // The keychain holds no token: silent. With a pair of its own the call is
  // made, so a refused item is heard.
  auto refused = std::make_shared<NBDownloadFileOperation>(&delegate_, folderItem("app", "/../x"));
  refused->executeOperation();
  EXPECT_EQ(delegate_.outcomes(), 0u);
  EXPECT_EQ(refused->failureStatus().code(), StatusCode::kUnauthenticated);
  refused->setCredentialSource(fixed);
  refused->executeOperation();
  EXPECT_EQ(delegate_.failures.size(), 1u);
  EXPECT_EQ(refused->failureStatus().code(), StatusCode::kInvalidArgument);

  auto op = std::make_shared<NBDownloadFileOperation>(nullptr, folderItem("app", "/a.txt"));
  op->setCredentialSource(fixed);
  Result<URLRequest> wire = op->signedRequest(op->serviceRequest().value());
  ASSERT_TRUE(wire.ok()) << wire.status().toString();
  EXPECT_NE(wire->URL().find("oauth_consumer_key=ck"), std::string::npos) << wire->URL();
  EXPECT_NE(wire->URL().find("oauth_token=tk"), std::string::npos) << wire->URL();

  // A source that loses its token between steps: the next step fails clearly.
  op->setCredentialSource(NBCredentialSource::fixed(NBConsumer("ck", "cs"), std::nullopt));
  EXPECT_EQ(op->signedRequest(op->serviceRequest().value()).status().code(),
            StatusCode::kUnauthenticated);
}

TEST_F(DownloadTest, ItemsThatCannotNameAFileAreRefused) {
  auto noPath = std::make_shared<NBFolderOperationItem>();
  noPath->root = "app";
  const std::shared_ptr<NBFolderOperationItem> refused[] = {
      noPath, folderItem("app", "/../../outside"), folderItem("..", "/x"), folderItem("app", "")};
  for (const auto& item : refused) {
    auto op = std::make_shared<NBDownloadFileOperation>(&delegate_, item);
    EXPECT_EQ(op->serviceRequest().status().code(), StatusCode::kInvalidArgument)
        << item->path.value_or("(absent)");
  }
  auto fine = std::make_shared<NBDownloadFileOperation>(&delegate_, folderItem("app", "/a..b/c"));
  EXPECT_TRUE(fine->serviceRequest().ok());
}

TEST(DocumentConvertTest, CodesMapThroughTheirTables) {
  struct Case {
    std::int32_t documentType, viewFormat, compressType;
    const char *type, *view, *zip;
  } cases[] = {
      {0, 0, 0, "pdf", "iphone", "0"}, {1, 1, 1, "doc", "iPad", "1"},
      {2, 0, 0, "zdc", "iphone", "0"}, {6, 0, 0, "zs", "iphone", "0"},
      {8, 0, 0, "zpr", "iphone", "0"}, {10, 1, 0, "rtf", "iPad", "0"},
  };
  for (const Case& c : cases) {
    NBDocumentConvertOperationItem item;
    item.root = "app";
    item.path = "/r.doc";
    item.documentType = c.documentType;
    item.viewFormat = c.viewFormat;
    item.compressType = c.compressType;
    auto parameters = NBDocumentConvertOperation::getParameters(item);
    ASSERT_TRUE(parameters.ok());
    using P = NBServiceRequest::Parameter;
    EXPECT_EQ(*parameters, (std::vector<P>{{"root", "app"},
                                           {"path", "/r.doc"},
                                           {"zip", c.zip},
                                           {"type", c.type},
                                           {"view", c.view}}));
  }
}

TEST(DocumentConvertTest, ItemsOutsideTheTablesAreRefusedBeforeAnyRequest) {
  TemporaryHome home;
  RecordingDelegate delegate;
  struct Case {
    std::int32_t documentType, viewFormat, compressType;
    bool hasRoot, hasPath;
  } cases[] = {
      {11, 0, 0, true, true}, {-1, 0, 0, true, true}, {0, 2, 0, true, true},
      {0, -1, 0, true, true}, {0, 0, 2, true, true},  {0, 0, -5, true, true},
      {0, 0, 0, false, true}, {0, 0, 0, true, false},
  };
  for (const Case& c : cases) {
    auto item = std::make_shared<NBDocumentConvertOperationItem>();
    if (c.hasRoot) item->root = "app";
    if (c.hasPath) item->path = "/r.doc";
    item->documentType = c.documentType;
    item->viewFormat = c.viewFormat;
    item->compressType = c.compressType;
    auto op = std::make_shared<NBDocumentConvertOperation>(&delegate, item);
    auto request = op->serviceRequest();
    ASSERT_FALSE(request.ok()) << c.documentType << " " << c.viewFormat << " " << c.compressType;
    EXPECT_EQ(request.status().code(), StatusCode::kInvalidArgument);
  }
}

}  // namespace
}  // namespace nb
