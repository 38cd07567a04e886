// NBClient's blocking, future and coroutine forms against a real nbserver
// (free loopback ports, temporary data folder), and against loopback peers
// that refuse connections or never answer. The client signs with a fixed
// credential source, so the keychain is never touched.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nb/Private/NBHosts.h"
#include "nb/Private/ParseError.h"
#include "nb/client/NBClient.h"
#include "nb/client/NBTask.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/internal/Transport.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/NbServerProcess.h"
#include "tests/support/SamplePng.h"
#include "tests/support/TemporaryFolder.h"

namespace nb {
namespace {

using namespace std::chrono_literals;

enum class Form { kBlocking, kFuture, kCoroutine };
constexpr Form kForms[] = {Form::kBlocking, Form::kFuture, Form::kCoroutine};

const char* formName(Form form) {
  switch (form) {
    case Form::kBlocking:
      return "blocking";
    case Form::kFuture:
      return "future";
    case Form::kCoroutine:
      return "coroutine";
  }
  return "?";
}

template <class Op>
NBTask<NBCallOutcome<Op>> awaitCall(NBClient client, std::shared_ptr<NBCallItem<Op>> item,
                                    NBCallOptions options) {
  co_return co_await client.callAwaitable<Op>(std::move(item), std::move(options));
}

// Runs Op in `form` from this thread and returns its outcome.
template <class Op>
NBCallOutcome<Op> callIn(Form form, const NBClient& client,
                         std::shared_ptr<NBCallItem<Op>> item = nullptr,
                         NBCallOptions options = {}) {
  switch (form) {
    case Form::kBlocking:
      return client.call<Op>(std::move(item), std::move(options));
    case Form::kFuture: {
      auto future = client.callFuture<Op>(std::move(item), std::move(options));
      EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
      return future.get();
    }
    case Form::kCoroutine:
      return awaitCall<Op>(client, std::move(item), std::move(options)).get();
  }
  return Status::internal("no such form");
}

std::shared_ptr<NBFolderOperationItem> folderItem(const std::string& path) {
  auto item = std::make_shared<NBFolderOperationItem>();
  item->root = "app";
  item->path = path;
  return item;
}

// Sends every host of the service to 127.0.0.1:`port` while it lives.
class ScopedConnectTo {
 public:
  explicit ScopedConnectTo(int port) : saved_(Transport::standard()) {
    EnvironmentSettings settings = EnvironmentSettings::fromEnvironment(
        [](const char* name) -> const char* { return ::getenv(name); });
    settings.connectTo.clear();
    for (const std::string* host : {&NBHosts::apiHost(), &NBHosts::contentHost(),
                                    &NBHosts::conversionHost(), &NBHosts::webHost()}) {
      for (const char* from : {"80", "443"}) {
        settings.connectTo.push_back(*host + ":" + from + ":127.0.0.1:" + std::to_string(port));
      }
    }
    Transport::setStandard(Transport::curl(std::move(settings)));
  }
  ~ScopedConnectTo() { Transport::setStandard(saved_); }

 private:
  std::shared_ptr<Transport> saved_;
};

// The port of a RawTestServer, from its "http://127.0.0.1:PORT" URL.
int portOf(const test::RawTestServer& server) {
  const std::string url = server.url("");
  return std::stoi(url.substr(url.rfind(':') + 1));
}

// Reads a request and then says nothing until the peer leaves or the server stops.
void answerNothing(int fd, const std::atomic<bool>& stopping) {
  test::RawTestServer::readRequestHead(fd);
  while (!stopping) {
    char byte;
    if (::recv(fd, &byte, 1, MSG_DONTWAIT) == 0) return;
    std::this_thread::sleep_for(5ms);
  }
}

class NBClientEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new test::TemporaryFolder("nb-client-e2e");
    ASSERT_TRUE(home_->ok());
    ::setenv("NB_HOME", home_->path().c_str(), 1);
    ::setenv("NB_DATA_HOME", (home_->path() / "data").c_str(), 1);
    server_ = new test::NbServerProcess();
    ASSERT_TRUE(server_->ok()) << server_->error();
    server_->setEnvironment();
    ASSERT_TRUE(server_->addUser("calls", "calls-pass"));
    consumer_ = new NBConsumer(server_->env("NB_CONSUMER_KEY"), server_->env("NB_CONSUMER_SECRET"));

    // Signs in through the client itself: the consumer comes from its source.
    const NBClient anonymous(NBCredentialSource::fixed(*consumer_, std::nullopt));
    auto login = std::make_shared<NBAuthOperationItem>();
    login->userName = "calls";
    login->password = "calls-pass";
    login->httpMethod = "POST";
    const Result<std::shared_ptr<NBToken>> token = anonymous.call<NBXAuthOperation>(login);
    ASSERT_TRUE(token.ok()) << token.status().toString();
    credentials_ =
        new std::shared_ptr<NBCredentialSource>(NBCredentialSource::fixed(*consumer_, **token));
  }
  static void TearDownTestSuite() {
    delete credentials_;
    delete consumer_;
    delete server_;
    delete home_;
  }

  static NBClient client() { return NBClient(*credentials_); }

  static inline test::TemporaryFolder* home_ = nullptr;
  static inline test::NbServerProcess* server_ = nullptr;
  static inline NBConsumer* consumer_ = nullptr;
  static inline std::shared_ptr<NBCredentialSource>* credentials_ = nullptr;
};

TEST_F(NBClientEndToEndTest, EachFormReturnsTheOperationsValue) {
  const NBClient nb = client();
  for (Form form : kForms) {
    SCOPED_TRACE(formName(form));
    const std::string folder = std::string("/forms-") + formName(form);

    auto info = callIn<NBGetUserInfoOperation>(form, nb);
    ASSERT_TRUE(info.ok()) << info.status().toString();
    EXPECT_EQ((*info)->userName, "calls");

    auto created = callIn<NBCreateFolderOperation>(form, nb, folderItem(folder));
    ASSERT_TRUE(created.ok()) << created.status().toString();
    EXPECT_EQ((*created)->path, folder);

    auto listing = std::make_shared<NBGetDirectoryOperationItem>();
    listing->root = "app";
    listing->path = "/";
    auto directory = callIn<NBGetDirectoryOperation>(form, nb, listing);
    ASSERT_TRUE(directory.ok()) << directory.status().toString();
    bool listed = false;
    for (const auto& file :
         (*directory)->files.value_or(std::vector<std::shared_ptr<NBFileInfo>>{})) {
      listed = listed || file->name == folder.substr(1);
    }
    EXPECT_TRUE(listed);
  }

  // The untyped form runs an operation that the caller makes.
  const Result<NBResult> raw = nb.call([](NBOperationDelegate* delegate) {
    return std::make_shared<NBGetUserInfoOperation>(delegate, std::make_shared<NBOperationItem>());
  });
  ASSERT_TRUE(raw.ok()) << raw.status().toString();
  EXPECT_NE(raw->recordAs<NBUserInfo>(), nullptr);
}

TEST_F(NBClientEndToEndTest, EveryOtherOperationDeliversItsDocumentedValue) {
  const NBClient nb = client();
  const auto at = [](const std::string& path) { return folderItem("/kinds" + path); };
  auto upload = std::make_shared<NBUploadFileOperationItem>();
  *static_cast<NBFolderOperationItem*>(upload.get()) = *at("/a.txt");
  upload->fileName = "a.txt";
  upload->fileData = "hello";
  ASSERT_TRUE(nb.call<NBCreateFolderOperation>(folderItem("/kinds")).ok());
  Result<std::string> uploaded = nb.call<NBUploadFileOperation>(upload);
  ASSERT_TRUE(uploaded.ok()) << uploaded.status().toString();

  auto move = std::make_shared<NBMoveOperationItem>();
  move->root = "app";
  move->fromPath = "/kinds/a.txt";
  move->toPath = "/kinds/b.txt";
  Result<std::string> moved = nb.call<NBMoveOperation>(move);
  EXPECT_TRUE(moved.ok()) << moved.status().toString();

  auto copy = std::make_shared<NBCopyOperationItem>();
  copy->root = "app";
  copy->fromPath = "/kinds/b.txt";
  copy->toPath = "/kinds/c.txt";
  Result<JsonValue> copied = nb.call<NBCopyOperation>(copy);
  ASSERT_TRUE(copied.ok()) << copied.status().toString();
  EXPECT_TRUE(copied->isObject());

  Result<JsonValue> reference = nb.call<NBCopyRefOperation>(at("/c.txt"));
  ASSERT_TRUE(reference.ok()) << reference.status().toString();
  EXPECT_TRUE(reference->isObject());

  auto share = std::make_shared<NBGetShareLinkOperationItem>();
  *static_cast<NBFolderOperationItem*>(share.get()) = *at("/c.txt");
  Result<JsonValue> link = nb.call<NBGetShareLinkOperation>(share);
  ASSERT_TRUE(link.ok()) << link.status().toString();
  EXPECT_TRUE(link->isObject());

  Result<std::shared_ptr<NBFileHistoryList>> history =
      nb.call<NBGetFileHistoryOperation>(at("/c.txt"));
  ASSERT_TRUE(history.ok()) << history.status().toString();
  EXPECT_FALSE((*history)->versions.empty());

  auto convert = std::make_shared<NBDocumentConvertOperationItem>();
  *static_cast<NBFolderOperationItem*>(convert.get()) = *at("/c.txt");
  convert->documentType = 9;  // txt
  Result<std::string> page = nb.call<NBDocumentConvertOperation>(convert);
  ASSERT_TRUE(page.ok()) << page.status().toString();
  EXPECT_TRUE(std::filesystem::exists(*page)) << *page;

  Result<std::string> deleted = nb.call<NBDeleteOperation>(at("/c.txt"));
  EXPECT_TRUE(deleted.ok()) << deleted.status().toString();

  // A 16 x 12 PNG, and its thumbnail's bytes.
  auto image = std::make_shared<NBUploadFileOperationItem>();
  *static_cast<NBFolderOperationItem*>(image.get()) = *at("/p.png");
  image->fileName = "p.png";
  image->fileData = test::samplePng();
  uploaded = nb.call<NBUploadFileOperation>(image);
  ASSERT_TRUE(uploaded.ok()) << uploaded.status().toString();
  auto thumbnail = std::make_shared<NBThumbnailOperationItem>();
  *static_cast<NBFolderOperationItem*>(thumbnail.get()) = *at("/p.png");
  thumbnail->width = 8;
  thumbnail->height = 6;
  Result<std::vector<std::uint8_t>> bytes = nb.call<NBThumbnailOperation>(thumbnail);
  ASSERT_TRUE(bytes.ok()) << bytes.status().toString();
  ASSERT_GT(bytes->size(), 4u);
  EXPECT_EQ((*bytes)[1], 'P');

  // Sign-in calls whose items carry no consumer take the client's.
  Result<std::shared_ptr<NBVerification>> challenge = nb.call<NBGetVerificationOperation>();
  ASSERT_TRUE(challenge.ok()) << challenge.status().toString();
  auto registration = std::make_shared<NBRegisterOperationItem>();
  registration->userName = "kinds";
  registration->password = "kinds-pass";
  registration->httpMethod = "POST";
  registration->deviceID = "0123456789abcdef0123456789abcdef01234567";
  registration->verifi = *challenge;
  registration->verifi->verifiCode = server_->env("NB_DEV_VERIFICATION_CODE");
  const Status registered = nb.call<NBRegisterOperation>(registration);
  EXPECT_TRUE(registered.ok()) << registered.toString();

  Result<std::shared_ptr<NBToken>> authorised = nb.call<NBAuth1Operation>();
  ASSERT_TRUE(authorised.ok()) << authorised.status().toString();
  EXPECT_TRUE((*authorised)->token.has_value());
}

TEST_F(NBClientEndToEndTest, TransfersReportProgressAndDeliverTheFile) {
  const NBClient nb = client();
  const std::string bytes(300 * 1024, 'x');
  for (Form form : kForms) {
    SCOPED_TRACE(formName(form));
    const std::string path = std::string("/transfer-") + formName(form) + ".bin";
    std::vector<std::pair<std::int64_t, std::int64_t>> progress;  // only the loop thread writes
    NBCallOptions options;
    options.progress = [&progress](std::int64_t done, std::int64_t expected) {
      progress.emplace_back(done, expected);
    };

    auto upload = std::make_shared<NBUploadFileOperationItem>();
    upload->root = "app";
    upload->path = path;
    upload->fileName = path.substr(1);
    upload->fileData = bytes;
    auto reply = callIn<NBUploadFileOperation>(form, nb, upload, options);
    ASSERT_TRUE(reply.ok()) << reply.status().toString();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().first, progress.back().second);

    progress.clear();
    auto file = callIn<NBDownloadFileOperation>(form, nb, folderItem(path), options);
    ASSERT_TRUE(file.ok()) << file.status().toString();
    std::ifstream in(*file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    EXPECT_TRUE(content.str() == bytes);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(std::int64_t{300 * 1024}, std::int64_t{300 * 1024}));
  }
}

TEST_F(NBClientEndToEndTest, TheServicesRefusalArrivesWithItsCodeAndMessage) {
  const NBClient nb = client();
  ASSERT_TRUE(nb.call<NBCreateFolderOperation>(folderItem("/taken")).ok());
  for (Form form : kForms) {
    SCOPED_TRACE(formName(form));
    auto again = callIn<NBCreateFolderOperation>(form, nb, folderItem("/taken"));
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.status().code(), StatusCode::kAlreadyExists);
    EXPECT_EQ(again.status().message(), ParseError::transformMessage("file exist"));

    auto missing = callIn<NBDownloadFileOperation>(form, nb, folderItem("/no-such-file"));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.status().code(), StatusCode::kNotFound) << missing.status().toString();
  }
}

TEST_F(NBClientEndToEndTest, WithoutATokenTheCallFailsAtOnce) {
  const NBClient signedOut(NBCredentialSource::fixed(*consumer_, std::nullopt));
  for (Form form : kForms) {
    SCOPED_TRACE(formName(form));
    auto info = callIn<NBGetUserInfoOperation>(form, signedOut);
    EXPECT_EQ(info.status().code(), StatusCode::kUnauthenticated);
  }
}

TEST_F(NBClientEndToEndTest, NetworkFailuresAndTimeOutsHaveTheirCodes) {
  const NBClient nb = client();
  {
    ScopedConnectTo refused(test::closedPort());
    for (Form form : kForms) {
      SCOPED_TRACE(formName(form));
      auto info = callIn<NBGetUserInfoOperation>(form, nb);
      EXPECT_EQ(info.status().code(), StatusCode::kNetwork) << info.status().toString();
    }
  }
  test::RawTestServer silent(answerNothing);
  ScopedConnectTo unanswered(portOf(silent));
  NBCallOptions options;
  options.idleTimeout = 300ms;
  for (Form form : kForms) {
    SCOPED_TRACE(formName(form));
    const auto started = std::chrono::steady_clock::now();
    auto info = callIn<NBGetUserInfoOperation>(form, nb, nullptr, options);
    EXPECT_EQ(info.status().code(), StatusCode::kTimeout) << info.status().toString();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  }
}

TEST_F(NBClientEndToEndTest, CancellingFromAnotherThreadEndsTheCallOnceAsCancelled) {
  const NBClient nb = client();
  {
    test::RawTestServer silent(answerNothing);
    ScopedConnectTo unanswered(portOf(silent));
    for (Form form : kForms) {
      SCOPED_TRACE(formName(form));
      std::stop_source stop;
      NBCallOptions options;
      options.cancel = stop.get_token();
      std::thread canceller([&stop] {
        std::this_thread::sleep_for(100ms);
        stop.request_stop();
      });
      auto info = callIn<NBGetUserInfoOperation>(form, nb, nullptr, options);
      canceller.join();
      EXPECT_EQ(info.status().code(), StatusCode::kCancelled) << info.status().toString();
    }
  }

  // Stops that race with real answers: each call still ends exactly once.
  constexpr int kCalls = 40;
  std::vector<std::stop_source> stops(kCalls);
  std::vector<std::atomic<int>> outcomes(kCalls);
  std::vector<StatusCode> codes(kCalls, StatusCode::kInternal);
  std::atomic<int> ended{0};
  for (int i = 0; i < kCalls; ++i) {
    NBCallOptions options;
    options.cancel = stops[i].get_token();
    nb.start(
        [](NBOperationDelegate* delegate) {
          return std::make_shared<NBGetUserInfoOperation>(delegate,
                                                          std::make_shared<NBOperationItem>());
        },
        options,
        [&, i](Result<NBResult> outcome) {
          codes[i] = outcome.status().code();
          ++outcomes[i];
          ++ended;
        });
  }
  std::thread canceller([&stops] {
    for (auto& stop : stops) {
      stop.request_stop();
      std::this_thread::sleep_for(1ms);
    }
  });
  canceller.join();
  for (int waited = 0; ended < kCalls && waited < 3000; ++waited) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(100ms);  // room for a second outcome, which must not come
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(outcomes[i].load(), 1) << i;
    EXPECT_TRUE(codes[i] == StatusCode::kOk || codes[i] == StatusCode::kCancelled) << i;
  }
}

TEST_F(NBClientEndToEndTest, HundredBlockingCallsFromEightThreads) {
  const NBClient nb = client();
  std::atomic<int> succeeded{0};
  std::mutex failuresMutex;
  std::vector<std::string> failures;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < 100; i += 8) {
        Status status;
        if (i % 2 == 0) {
          status = nb.call<NBGetUserInfoOperation>().status();
        } else {
          status =
              nb.call<NBCreateFolderOperation>(folderItem("/many-" + std::to_string(i))).status();
        }
        if (status.ok()) {
          ++succeeded;
        } else {
          std::lock_guard<std::mutex> lock(failuresMutex);
          failures.push_back(status.toString());
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(succeeded, 100);
  EXPECT_TRUE(failures.empty()) << failures.front();
}

TEST_F(NBClientEndToEndTest, ABlockingCallInsideACallbackIsRefusedNotDeadlocked) {
  const NBClient nb = client();
  const auto isRefusal = [](const Status& status) {
    return status.code() == StatusCode::kInvalidArgument &&
           status.message().find("blocking call cannot be made") != std::string::npos;
  };

  // In a progress callback, on the client's loop thread.
  std::optional<Status> inProgress;
  NBCallOptions options;
  options.progress = [&](std::int64_t, std::int64_t) {
    if (!inProgress) inProgress = nb.call<NBGetUserInfoOperation>().status();
  };
  auto upload = std::make_shared<NBUploadFileOperationItem>();
  upload->root = "app";
  upload->path = "/inside-progress.txt";
  upload->fileName = "inside-progress.txt";
  upload->fileData = "hello";
  EXPECT_TRUE(nb.call<NBUploadFileOperation>(upload, options).ok());
  ASSERT_TRUE(inProgress);
  EXPECT_TRUE(isRefusal(*inProgress)) << inProgress->toString();

  // After co_await, where the coroutine runs on the loop thread.
  auto afterAwait = [](NBClient client) -> NBTask<Status> {
    auto info = co_await client.callAwaitable<NBGetUserInfoOperation>();
    if (!info.ok()) co_return info.status();
    co_return client.call<NBGetUserInfoOperation>().status();
  };
  const Status inCoroutine = afterAwait(nb).get();
  EXPECT_TRUE(isRefusal(inCoroutine)) << inCoroutine.toString();

  // In a delegate callback of an operation on the application's own loop.
  struct Delegate : NBOperationDelegate {
    const NBClient* client = nullptr;
    std::optional<Status> status;
    void operationSuccess(NBOperation*, const NBResult&) override {
      status = client->call<NBGetUserInfoOperation>().status();
    }
    void operationFail(NBOperation*, const std::string& message) override {
      status = Status::service(message);
    }
  } delegate;
  delegate.client = &nb;
  auto operation =
      std::make_shared<NBGetUserInfoOperation>(&delegate, std::make_shared<NBOperationItem>());
  operation->setCredentialSource(*credentials_);
  operation->executeOperation();
  RunLoop::current().runUntil([&] { return delegate.status.has_value(); }, 20s);
  ASSERT_TRUE(delegate.status);
  EXPECT_TRUE(isRefusal(*delegate.status)) << delegate.status->toString();
}

}  // namespace
}  // namespace nb
