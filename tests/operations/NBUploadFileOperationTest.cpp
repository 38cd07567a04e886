// The upload request as it goes on the wire and the handling of its replies,
// over scripted replies instead of a server; and the status tables of the three
// operations that judge the HTTP status.
#include <gtest/gtest.h>

#include "nb/operations/NBDownloadFileOperation.h"
#include "nb/operations/NBThumbnailOperation.h"
#include "nb/operations/NBUploadFileOperation.h"
#include "nb/platform/URLConnection.h"
#include "tests/operations/TransferTestSupport.h"

namespace nb {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::RecordingDelegate;
using testing::TemporaryHome;

template <class Operation>
class Driven : public Operation {
 public:
  using Operation::Operation;
  void respond(int status) {
    this->connectionDidReceiveResponse(nullptr, URLResponse("http://x/", status, {}));
  }
  void receive(std::string_view chunk) { this->connectionDidReceiveData(nullptr, chunk); }
  void finish() { this->connectionDidFinishLoading(nullptr); }
  void sent(std::int64_t chunk, std::int64_t total, std::int64_t expected) {
    this->connectionDidSendBodyData(nullptr, chunk, total, expected);
  }
};

std::shared_ptr<NBUploadFileOperationItem> uploadItem(std::string fileName, std::string data) {
  auto item = std::make_shared<NBUploadFileOperationItem>();
  item->root = "app";
  item->path = "/d/" + fileName;
  item->fileName = std::move(fileName);
  item->fileData = std::move(data);
  return item;
}

// The body as the transport will send it: bytes, or parts with files read.
std::string wireBody(const URLRequest& request) {
  std::string body;
  for (const URLRequestBodyPart& part : request.HTTPBodyParts()) {
    body += part.isFile ? testing::fileContents(part.path) : *part.data;
  }
  return body;
}

TEST(UploadRequestTest, ThreeByteFileFromMemoryOrDiskGivesTheSameExactRequest) {
  TemporaryHome home;
  const std::string expectedBody =
      "------------ThIs_Is_tHe_bouNdaRY_$\r\n"
      "Content-Disposition: form-data; name=\"file\"; filename=\"abc.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n"
      "a\0c"
      "\r\n------------ThIs_Is_tHe_bouNdaRY_$--"s;
  const std::vector<std::pair<std::string, std::string>> expectedHeaders = {
      {"v", "2"},
      {"User-Agent", "vanta"},
      {"content-type", "multipart/form-data; boundary=----------ThIs_Is_tHe_bouNdaRY_$"},
      {"content-length", std::to_string(expectedBody.size())},
  };

  auto inMemory = uploadItem("abc.bin", "a\0c"s);
  auto onDisk = uploadItem("abc.bin", "");
  onDisk->filePath = (home.path() / "abc.bin").string();
  testing::writeFile(*onDisk->filePath, "a\0c"s);

  for (const auto& item : {inMemory, onDisk}) {
    SCOPED_TRACE(item->filePath ? "on disk" : "in memory");
    auto made =
        NBUploadFileOperation::uploadRequest("http://node.test/1/fileops/upload_file?q", *item);
    ASSERT_TRUE(made.ok());
    const URLRequest& request = *made;
    EXPECT_EQ(request.URL(), "http://node.test/1/fileops/upload_file?q");
    EXPECT_EQ(request.HTTPMethod(), "POST");
    EXPECT_EQ(request.allHTTPHeaderFields(), expectedHeaders);
    EXPECT_EQ(request.cachePolicy(), URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    EXPECT_EQ(request.timeoutInterval(), 60.0);
    EXPECT_EQ(wireBody(request), expectedBody);
  }
  // From disk, the file itself is streamed rather than read into the request.
  auto streamed = NBUploadFileOperation::uploadRequest("http://n/", *onDisk).value();
  ASSERT_EQ(streamed.HTTPBodyParts().size(), 3u);
  EXPECT_TRUE(streamed.HTTPBodyParts()[1].isFile);
}

TEST(UploadRequestTest, FileDataIsSentFromTheSharedItemWithoutACopy) {
  auto item = uploadItem("big.bin", std::string(1 << 20, 'b'));
  const std::string* bytes = &item->fileData;
  auto made = NBUploadFileOperation::uploadRequest("http://n/", item);
  ASSERT_TRUE(made.ok());
  const URLRequest request = std::move(made).value();
  item.reset();  // the request keeps the item alive
  ASSERT_EQ(request.HTTPBodyParts().size(), 3u);
  EXPECT_EQ(request.HTTPBodyParts()[1].data.get(), bytes);
  EXPECT_EQ(wireBody(request),
            "------------ThIs_Is_tHe_bouNdaRY_$\r\n"
            "Content-Disposition: form-data; name=\"file\"; filename=\"big.bin\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" +
                *bytes + "\r\n------------ThIs_Is_tHe_bouNdaRY_$--");
}

TEST(UploadRequestTest, ItemsThatCannotBeSentAreRefusedBeforeAnyRequest) {
  TemporaryHome home;
  RecordingDelegate delegate;
  auto noName = uploadItem("x", "data");
  noName->fileName.reset();
  auto missingFile = uploadItem("x", "");
  missingFile->filePath = (home.path() / "missing").string();
  auto folder = uploadItem("x", "");
  folder->filePath = home.path().string();
  auto both = uploadItem("x", "data");
  both->filePath = (home.path() / "both").string();
  testing::writeFile(*both->filePath, "data");

  const std::shared_ptr<NBUploadFileOperationItem> refused[] = {
      uploadItem("a\"b.txt", "x"),
      uploadItem("a\r\nX-Injected: 1", "x"),
      uploadItem("a\nb", "x"),
      noName,
      missingFile,
      folder,
      both};
  for (const auto& item : refused) {
    auto op = std::make_shared<NBUploadFileOperation>(&delegate, item);
    auto request = op->serviceRequest();
    ASSERT_FALSE(request.ok()) << item->fileName.value_or("(absent)");
    EXPECT_EQ(NBUploadFileOperation::uploadRequest("http://n/", *item).status(), request.status());
  }
  EXPECT_EQ(delegate.outcomes(), 0u);
}

TEST(UploadReplyTest, EveryFinalReplyEndsInExactlyOneOutcome) {
  struct Case {
    int status;
    std::string body;
    int successes;
    std::string failure;  // empty: none expected
    bool posting = true;  // false: the reply to the first request, which names the node
    StatusCode code = StatusCode::kOk;
  } cases[] = {
      {200, R"({"size":3,"path":"/d/x"})", 1, ""},
      {200, R"([1,2])", 1, ""},
      {200, R"({"url":7,"path":"/d/x"})", 1, ""},  // a file record may have a "url" of its own
      {200, "<html>busy</html>", 0, "the upload service's reply is not JSON", true,
       StatusCode::kCorruption},
      {200, "", 0, "the upload service's reply is not JSON", true, StatusCode::kCorruption},
      {200, R"({"msg":"file exist"})", 0, "同名文件已经存在", true, StatusCode::kAlreadyExists},
      {200, R"({"url":7})", 0, "the upload service's reply names no usable upload node", false,
       StatusCode::kCorruption},
      {200, R"({"size":3})", 0, "the upload service's reply names no upload node", false,
       StatusCode::kCorruption},
      {413, R"({"msg":"file too large"})", 0, "文件过大", true, StatusCode::kResourceExhausted},
      {403, "", 0, "同名文件（夹）已存在", false, StatusCode::kAlreadyExists},
      {302, "", 0, "内部错误，服务暂时不可用", true, StatusCode::kService},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    SCOPED_TRACE(c.body);
    RecordingDelegate delegate;
    auto transport = std::make_shared<MemoryTransport>();
    if (c.posting) transport->enqueue(MemoryReply::withBody(200, R"({"url":"http://node.test"})"));
    transport->enqueue(MemoryReply::withBody(c.status, c.body));
    auto op = std::make_shared<NBUploadFileOperation>(&delegate, uploadItem("x", "abc"));
    testing::runScripted(*op, transport);
    EXPECT_EQ(static_cast<int>(delegate.successes.size()), c.successes);
    EXPECT_EQ(delegate.failures,
              c.failure.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.failure});
    if (c.successes == 1) {
      EXPECT_EQ(*delegate.successes[0].textValue(), c.body);
    }
    EXPECT_EQ(op->failureStatus().code(), c.code);
    EXPECT_EQ(op->failureStatus().message(), c.failure);

    const auto& requests = transport->requests();
    ASSERT_EQ(requests.size(), c.posting ? 2u : 1u);
    EXPECT_EQ(requests[0].URL().rfind("http://content.nimbus.test/1/fileops/upload_locate?", 0), 0u)
        << requests[0].URL();
    if (c.posting) {
      const URLRequest& post = requests[1];
      EXPECT_EQ(post.URL().rfind("http://node.test/1/fileops/upload_file?", 0), 0u) << post.URL();
      const std::string body = MemoryTransport::bodyOf(post);
      EXPECT_NE(body.find("\r\n\r\nabc\r\n"), std::string::npos) << body;
      EXPECT_EQ(post.allHTTPHeaderFields().back(),
                std::make_pair(std::string("content-length"), std::to_string(body.size())));
      ASSERT_FALSE(delegate.progress.empty());
      EXPECT_EQ(delegate.progress.back(), std::make_pair(static_cast<std::int64_t>(body.size()),
                                                         static_cast<std::int64_t>(body.size())));
    }
  }
}

TEST(UploadReplyTest, ANodeReplyWithoutTokenEndsInAFailureAndProgressIsWidened) {
  TemporaryHome home;  // no credentials stored
  RecordingDelegate delegate;
  auto op = std::make_shared<Driven<NBUploadFileOperation>>(&delegate, uploadItem("x", "abc"));
  op->sent(10, 10, 35);
  op->sent(25, 35, 35);
  const std::int64_t fiveGiB = std::int64_t{5} << 30;
  op->sent(1, fiveGiB, fiveGiB + 1);
  using P = std::pair<std::int64_t, std::int64_t>;
  EXPECT_EQ(delegate.progress, (std::vector<P>{{10, 35}, {35, 35}, {fiveGiB, fiveGiB + 1}}));

  op->respond(200);
  op->receive(R"({"url":"http://node.test"})");
  op->finish();
  EXPECT_TRUE(delegate.successes.empty());
  EXPECT_EQ(delegate.failures.size(), 1u);
}

TEST(StatusTableTest, EachTransferJudgesTheStatusWithItsOwnTable) {
  TemporaryHome home;
  struct Case {
    const char* operation;
    int status;
    const char* message;
  } cases[] = {
      {"upload", 413, "文件过大"},
      {"upload", 507, "用户空间已满"},
      {"upload", 400, "内部错误，服务暂时不可用"},
      {"download", 404, "文件不存在"},
      {"download", 507, "文件不存在或者服务器内部错误"},
      {"thumbnail", 404, "无此文件"},
      {"thumbnail", 507, "空间不够"},
      {"thumbnail", 999, "内部错误，服务暂时不可用"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.operation) + " " + std::to_string(c.status));
    RecordingDelegate delegate;
    auto item = std::make_shared<NBThumbnailOperationItem>();
    item->root = "app";
    item->path = "/p.png";
    const std::string kind = c.operation;
    std::shared_ptr<NBNetworkOperation> op;
    if (kind == "upload") {
      op = std::make_shared<NBUploadFileOperation>(&delegate, uploadItem("x", "a"));
    } else if (kind == "download") {
      op = std::make_shared<NBDownloadFileOperation>(&delegate, item);
    } else {
      op = std::make_shared<NBThumbnailOperation>(&delegate, item);
    }
    auto transport = std::make_shared<MemoryTransport>();
    transport->enqueue(MemoryReply::withBody(c.status, "{}"));
    testing::runScripted(*op, transport);
    EXPECT_EQ(delegate.failures, std::vector<std::string>{c.message});
    EXPECT_TRUE(delegate.successes.empty());
  }
}

TEST(ThumbnailTest, TheImageBytesArePassedOnAsTheyArrived) {
  RecordingDelegate delegate;
  auto item = std::make_shared<NBThumbnailOperationItem>();
  item->root = "app";
  item->path = "/p.png";
  item->width = 128;
  item->height = 96;
  auto op = std::make_shared<NBThumbnailOperation>(&delegate, item);
  auto request = op->serviceRequest();
  ASSERT_TRUE(request.ok());
  using P = NBServiceRequest::Parameter;
  EXPECT_EQ(
      request->parameters,
      (std::vector<P>{{"root", "app"}, {"path", "/p.png"}, {"width", "128"}, {"height", "96"}}));

  const std::string png = "\x89PNG\r\n\x1a\n\0\0"s;
  auto transport = std::make_shared<MemoryTransport>();
  MemoryReply reply;
  reply.chunks = {png.substr(0, 4), png.substr(4)};
  transport->enqueue(reply);
  testing::runScripted(*op, transport);
  ASSERT_EQ(delegate.successes.size(), 1u);
  ASSERT_NE(delegate.successes[0].bytesValue(), nullptr);
  EXPECT_EQ(std::string(delegate.successes[0].bytesValue()->begin(),
                        delegate.successes[0].bytesValue()->end()),
            png);
}

}  // namespace
}  // namespace nb
