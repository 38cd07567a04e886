// The sign-in flows and file operations against a real nbserver: started once
// for the suite on free loopback ports, with a temporary data folder and its
// CA, reached through NB_CONNECT_TO / NB_CA_FILE. Each test signs in its own
// account so that tests do not see each other's files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/operations/NBAuth1Operation.h"
#include "nb/operations/NBCopyOperation.h"
#include "nb/operations/NBCopyRefOperation.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"
#include "nb/operations/NBGetDirectoryOperation.h"
#include "nb/operations/NBGetFileHistoryOperation.h"
#include "nb/operations/NBGetShareLinkOperation.h"
#include "nb/operations/NBGetUserInfoOperation.h"
#include "nb/operations/NBGetVerificationOperation.h"
#include "nb/operations/NBMoveOperation.h"
#include "nb/operations/NBRegisterOperation.h"
#include "nb/operations/NBXAuthOperation.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/URLConnection.h"
#include "tests/support/NbServerProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace nb {
namespace {

using namespace std::chrono_literals;

const char* const kAwkwardPassword = "p&s=w+rd 1 密码é";
const char* const kFirstUser = "first";

// Counts every delegate call and keeps the last result or message.
struct Recorder : NBOperationDelegate {
  int successes = 0, failures = 0;
  NBResult result;
  std::string message;
  void operationSuccess(NBOperation*, const NBResult& r) override {
    ++successes;
    result = r;
  }
  void operationFail(NBOperation*, const std::string& m) override {
    ++failures;
    message = m;
  }
  int calls() const { return successes + failures; }
};

class OperationsEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dataHome_ = new test::TemporaryFolder("nb-ops-e2e");
    ASSERT_TRUE(dataHome_->ok());
    setenv("NB_DATA_HOME", dataHome_->path().c_str(), 1);
    server_ = new test::NbServerProcess();
    ASSERT_TRUE(server_->ok()) << server_->error();
    server_->setEnvironment();
    consumer_ = std::make_shared<NBConsumer>(server_->env("NB_CONSUMER_KEY"),
                                             server_->env("NB_CONSUMER_SECRET"));
    // The development authorisation page allows for the first account.
    ASSERT_TRUE(server_->addUser(kFirstUser, "first-pass"));
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    delete dataHome_;
    dataHome_ = nullptr;
  }
  void TearDown() override { NBAPIInfo::instance().clearAuthInfo(); }

  // Runs `op` until the delegate has been called (or 20 s pass).
  static void run(const std::shared_ptr<NBOperation>& op, Recorder& recorder) {
    op->executeOperation();
    RunLoop::current().runUntil([&] { return recorder.calls() > 0; }, 20000ms);
  }

  template <class Operation>
  static Recorder call(std::shared_ptr<NBOperationItem> item) {
    Recorder recorder;
    run(std::make_shared<Operation>(&recorder, std::move(item)), recorder);
    return recorder;
  }

  static std::shared_ptr<NBToken> login(const std::string& name, const std::string& password) {
    auto item = std::make_shared<NBAuthOperationItem>();
    item->consumer = consumer_;
    item->userName = name;
    item->password = password;
    item->httpMethod = "POST";
    Recorder r = call<NBXAuthOperation>(item);
    EXPECT_EQ(r.successes, 1) << r.message;
    return r.result.recordAs<NBToken>();
  }

  // Makes `token` the credentials of NBAPIInfo. Both are set through one
  // reference: instance() reloads the keychain while the pair is incomplete.
  static void useToken(std::shared_ptr<NBToken> token) {
    NBAPIInfo& info = NBAPIInfo::instance();
    info.setConsumer(consumer_);
    info.setToken(std::move(token));
  }

  // A fresh account, signed in as the credentials of NBAPIInfo.
  static void signInNewUser(const std::string& name) {
    ASSERT_TRUE(server_->addUser(name, "pw-" + name));
    auto token = login(name, "pw-" + name);
    ASSERT_NE(token, nullptr);
    useToken(token);
  }

  static std::shared_ptr<NBFolderOperationItem> at(const std::string& path) {
    auto item = std::make_shared<NBFolderOperationItem>();
    item->root = "app";
    item->path = path;
    return item;
  }

  // Stores `content` at `path` with a signed plain-body post, the way the
  // service accepts a file, so that listings and histories have files to show.
  static void put(const std::string& path, const std::string& content) {
    struct Sink : URLConnectionDelegate {
      int status = 0;
      bool done = false;
      std::string body;
      void connectionDidReceiveResponse(URLConnection*, const URLResponse& r) override {
        status = r.statusCode();
      }
      void connectionDidReceiveData(URLConnection*, std::string_view chunk) override {
        body += chunk;
      }
      void connectionDidFailWithError(URLConnection*, const NBError& e) override {
        body = e.description;
        done = true;
      }
      void connectionDidFinishLoading(URLConnection*) override { done = true; }
    };
    NBAPIInfo& info = NBAPIInfo::instance();
    NBServiceRequest request{"http://" + NBHosts::contentHost() + "/1/fileops/upload_file",
                             {{"root", "app"}, {"path", path}, {"overwrite", "True"}}};
    request.httpMethod = "POST";
    URLRequest post =
        URLRequest::requestWithURL(request.signedURLString(*info.consumer(), info.token().get()));
    post.setHTTPMethod("POST");
    post.setHTTPBody(content);
    auto sink = std::make_shared<Sink>();
    auto connection = URLConnection::connectionWithRequest(post, sink);
    RunLoop::current().runUntil([&] { return sink->done; }, 20000ms);
    ASSERT_EQ(sink->status, 200) << path << ": " << sink->body;
  }

  static std::vector<std::string> names(const NBDirectoryInfo& dir) {
    std::vector<std::string> out;
    if (dir.files) {
      for (const auto& f : *dir.files) out.push_back(f->name.value_or("?"));
    }
    return out;
  }

  static test::NbServerProcess* server_;
  static std::shared_ptr<NBConsumer> consumer_;
  static test::TemporaryFolder* dataHome_;
};

test::NbServerProcess* OperationsEndToEndTest::server_ = nullptr;
std::shared_ptr<NBConsumer> OperationsEndToEndTest::consumer_;
test::TemporaryFolder* OperationsEndToEndTest::dataHome_ = nullptr;

TEST_F(OperationsEndToEndTest, PasswordLoginWithReservedAndNonASCIICharacters) {
  ASSERT_TRUE(server_->addUser("amy", kAwkwardPassword));
  auto token = login("amy", kAwkwardPassword);
  ASSERT_NE(token, nullptr);
  EXPECT_FALSE(token->token.value_or("").empty());
  EXPECT_FALSE(token->tokenSecret.value_or("").empty());

  useToken(token);
  Recorder info = call<NBGetUserInfoOperation>(std::make_shared<NBOperationItem>());
  ASSERT_EQ(info.successes, 1) << info.message;
  auto user = info.result.recordAs<NBUserInfo>();
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->userName, "amy");
  EXPECT_GT(user->userID, 0);
  EXPECT_GT(user->quotaTotal, 0);
  EXPECT_GT(user->maxFileSize, 0);
  EXPECT_EQ(user->quotaUsed, 0);

  auto item = std::make_shared<NBAuthOperationItem>();
  item->consumer = consumer_;
  item->userName = "amy";
  item->password = "p&s=w+rd 1 密码";  // one letter short
  item->httpMethod = "POST";
  Recorder wrong = call<NBXAuthOperation>(item);
  EXPECT_EQ(wrong.successes, 0);
  EXPECT_EQ(wrong.failures, 1);
  EXPECT_EQ(wrong.message, "登录失败，可能用户名密码不对或者无此账号");
}

TEST_F(OperationsEndToEndTest, ThreeLeggedFlowYieldsAWorkingAccessToken) {
  auto item = std::make_shared<NBOperationItem>();
  item->consumer = consumer_;
  Recorder r = call<NBAuth1Operation>(item);
  ASSERT_EQ(r.successes, 1) << r.message;
  EXPECT_EQ(r.failures, 0);
  auto token = r.result.recordAs<NBToken>();
  ASSERT_NE(token, nullptr);

  useToken(token);
  Recorder info = call<NBGetUserInfoOperation>(std::make_shared<NBOperationItem>());
  ASSERT_EQ(info.successes, 1) << info.message;
  EXPECT_EQ(info.result.recordAs<NBUserInfo>()->userName, kFirstUser);
}

TEST_F(OperationsEndToEndTest, CancellingTheFlowAtTheAuthorisationPageTellsNothing) {
  auto item = std::make_shared<NBOperationItem>();
  item->consumer = consumer_;
  Recorder r;
  auto flow = std::make_shared<NBAuth1Operation>(&r, item);
  flow->executeOperation();
  ASSERT_TRUE(RunLoop::current().runUntil([&] { return flow->oauthState() == 1; }, 20000ms));
  flow->cancelOperation();
  RunLoop::current().runUntil([] { return false; }, 300ms);
  EXPECT_EQ(r.calls(), 0);
  EXPECT_EQ(flow->oauthState(), 1);
}

TEST_F(OperationsEndToEndTest, RegistrationWithTheChallengeThenLogin) {
  auto plain = std::make_shared<NBOperationItem>();
  plain->consumer = consumer_;
  Recorder first = call<NBGetVerificationOperation>(plain);
  ASSERT_EQ(first.successes, 1) << first.message;
  auto challenge = first.result.recordAs<NBVerification>();
  ASSERT_NE(challenge, nullptr);
  EXPECT_TRUE(challenge->urlString.has_value());
  ASSERT_TRUE(challenge->authID.has_value());
  EXPECT_EQ(challenge->verifiCode, std::nullopt);

  auto item = std::make_shared<NBRegisterOperationItem>();
  item->consumer = consumer_;
  item->userName = "newbie";
  item->password = kAwkwardPassword;
  item->httpMethod = "POST";
  item->deviceID = "0123456789abcdef0123456789abcdef01234567";
  item->verifi = challenge;
  challenge->verifiCode = "not-the-code";
  Recorder wrong = call<NBRegisterOperation>(item);
  EXPECT_EQ(wrong.successes, 0);
  EXPECT_EQ(wrong.message, "注册验证码错误或者失效");

  // A challenge is spent by any answer: a new one is fetched, as the screen does.
  Recorder second = call<NBGetVerificationOperation>(plain);
  ASSERT_EQ(second.successes, 1) << second.message;
  item->verifi = second.result.recordAs<NBVerification>();
  item->verifi->verifiCode = server_->env("NB_DEV_VERIFICATION_CODE");
  Recorder registered = call<NBRegisterOperation>(item);
  ASSERT_EQ(registered.successes, 1) << registered.message;
  EXPECT_TRUE(registered.result.isNil());

  EXPECT_NE(login("newbie", kAwkwardPassword), nullptr);
}

TEST_F(OperationsEndToEndTest, ListingWithPagingFilterAndEverySort) {
  signInNewUser("lister");
  ASSERT_EQ(call<NBCreateFolderOperation>(at("/docs")).successes, 1);
  put("/docs/b.txt", "bbbbbbbbbb");  // 10 bytes
  put("/docs/a.pdf", "aaa");         // 3
  put("/docs/c.PDF", "cccccc");      // 6
  ASSERT_EQ(call<NBCreateFolderOperation>(at("/docs/sub")).successes, 1);

  auto listing = [&](std::function<void(NBGetDirectoryOperationItem&)> set) {
    auto item = std::make_shared<NBGetDirectoryOperationItem>();
    item->root = "app";
    item->path = "/docs";
    set(*item);
    Recorder r = call<NBGetDirectoryOperation>(item);
    EXPECT_EQ(r.successes, 1) << r.message;
    auto dir = r.result.recordAs<NBDirectoryInfo>();
    return dir ? dir : std::make_shared<NBDirectoryInfo>();
  };

  auto all = listing([](NBGetDirectoryOperationItem& i) { i.sortType = 2; });
  EXPECT_EQ(all->path, "/docs");
  ASSERT_NE(all->fileInfo, nullptr);
  EXPECT_EQ(all->fileInfo->type, 1);
  EXPECT_EQ(names(*all), (std::vector<std::string>{"a.pdf", "b.txt", "c.PDF", "sub"}));
  EXPECT_EQ((*all->files)[0]->type, 0);
  EXPECT_EQ((*all->files)[0]->size, 3u);
  EXPECT_EQ((*all->files)[3]->type, 1);

  const struct {
    std::int32_t sortType;
    bool desc;
    std::vector<std::string> expected;  // empty: only the set of names is checked
  } sorts[] = {
      {2, true, {"sub", "c.PDF", "b.txt", "a.pdf"}},
      {3, false, {"sub", "a.pdf", "c.PDF", "b.txt"}},
      {3, true, {"b.txt", "c.PDF", "a.pdf", "sub"}},
      {1, false, {}},
      {1, true, {}},
      {0, false, {}},
  };
  for (const auto& s : sorts) {
    auto dir = listing([&](NBGetDirectoryOperationItem& i) {
      i.sortType = s.sortType;
      i.isDescSort = s.desc;
    });
    auto got = names(*dir);
    if (s.expected.empty()) {
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, (std::vector<std::string>{"a.pdf", "b.txt", "c.PDF", "sub"})) << s.sortType;
    } else {
      EXPECT_EQ(got, s.expected) << s.sortType << " " << s.desc;
    }
  }

  auto page1 = listing([](NBGetDirectoryOperationItem& i) {
    i.sortType = 2;
    i.pageSize = 3;
    i.pageIndex = 1;
  });
  EXPECT_EQ(names(*page1), std::vector<std::string>{"sub"});
  auto page2 = listing([](NBGetDirectoryOperationItem& i) {
    i.sortType = 2;
    i.pageSize = 3;
    i.pageIndex = 2;
  });
  EXPECT_FALSE(page2->files.has_value());  // an empty page leaves files absent

  auto pdfs = listing([](NBGetDirectoryOperationItem& i) {
    i.sortType = 2;
    i.filterExt = "PDF";
  });
  EXPECT_EQ(names(*pdfs), (std::vector<std::string>{"a.pdf", "c.PDF"}));
}

TEST_F(OperationsEndToEndTest, CreateMoveCopyFromPathAndReferenceThenDelete) {
  signInNewUser("mover");
  Recorder created = call<NBCreateFolderOperation>(at("/p q"));
  ASSERT_EQ(created.successes, 1) << created.message;
  auto folder = created.result.recordAs<NBFolderInfo>();
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->root, "app");
  EXPECT_EQ(folder->path, "/p q");
  EXPECT_TRUE(folder->fileID.has_value());

  auto move = std::make_shared<NBMoveOperationItem>();
  move->root = "app";
  move->fromPath = "/p q";
  move->toPath = "/moved";
  Recorder moved = call<NBMoveOperation>(move);
  ASSERT_EQ(moved.successes, 1) << moved.message;
  ASSERT_NE(moved.result.textValue(), nullptr);
  EXPECT_NE(moved.result.textValue()->find("/moved"), std::string::npos);

  put("/moved/f.txt", "hello");
  auto copy = std::make_shared<NBCopyOperationItem>();
  copy->root = "app";
  copy->fromPath = "/moved/f.txt";
  copy->toPath = "/copy.txt";
  Recorder copied = call<NBCopyOperation>(copy);
  ASSERT_EQ(copied.successes, 1) << copied.message;
  ASSERT_NE(copied.result.jsonValue(), nullptr);
  EXPECT_EQ(copied.result.jsonValue()->find("path")->stringValue(), "/copy.txt");

  Recorder ref = call<NBCopyRefOperation>(at("/moved/f.txt"));
  ASSERT_EQ(ref.successes, 1) << ref.message;
  const JsonValue* refValue = ref.result.jsonValue()->find("copy_ref");
  ASSERT_NE(refValue, nullptr);
  copy->fromCopyRef = std::string(refValue->stringValue());
  copy->fromPath = "/does-not-matter";
  copy->toPath = "/from-ref.txt";
  Recorder fromRef = call<NBCopyOperation>(copy);
  ASSERT_EQ(fromRef.successes, 1) << fromRef.message;
  EXPECT_EQ(fromRef.result.jsonValue()->find("path")->stringValue(), "/from-ref.txt");

  Recorder deleted = call<NBDeleteOperation>(at("/from-ref.txt"));
  ASSERT_EQ(deleted.successes, 1) << deleted.message;
  ASSERT_NE(deleted.result.textValue(), nullptr);
  Recorder again = call<NBDeleteOperation>(at("/from-ref.txt"));
  EXPECT_EQ(again.successes, 0);
  EXPECT_EQ(again.message, "文件不存在");

  auto root = std::make_shared<NBGetDirectoryOperationItem>();
  root->root = "app";
  root->path = "/";
  root->sortType = 2;
  Recorder listing = call<NBGetDirectoryOperation>(root);
  ASSERT_EQ(listing.successes, 1) << listing.message;
  EXPECT_EQ(names(*listing.result.recordAs<NBDirectoryInfo>()),
            (std::vector<std::string>{"copy.txt", "moved"}));
}

TEST_F(OperationsEndToEndTest, ShareLinkWithAccessCode) {
  signInNewUser("sharer");
  put("/a b.txt", "shared");
  auto item = std::make_shared<NBGetShareLinkOperationItem>();
  item->root = "app";
  item->path = "/a b.txt";
  item->name = "for you";
  item->accessCode = "c 1&x";
  Recorder r = call<NBGetShareLinkOperation>(item);
  ASSERT_EQ(r.successes, 1) << r.message;
  const JsonValue* reply = r.result.jsonValue();
  ASSERT_NE(reply, nullptr);
  ASSERT_NE(reply->find("access_code"), nullptr);
  EXPECT_EQ(reply->find("access_code")->stringValue(), "c 1&x");
  EXPECT_EQ(reply->find("name")->stringValue(), "for you");
  EXPECT_EQ(reply->find("path")->stringValue(), "/a b.txt");
  ASSERT_NE(reply->find("url"), nullptr);

  Recorder missing = call<NBGetShareLinkOperation>([] {
    auto i = std::make_shared<NBGetShareLinkOperationItem>();
    i->root = "app";
    i->path = "/nothing-here";
    return i;
  }());
  EXPECT_EQ(missing.message, "文件不存在");
}

TEST_F(OperationsEndToEndTest, HistoryListsEveryOverwrite) {
  signInNewUser("historian");
  put("/h.txt", "one");
  put("/h.txt", "two!");
  put("/h.txt", "three");
  Recorder r = call<NBGetFileHistoryOperation>(at("/h.txt"));
  ASSERT_EQ(r.successes, 1) << r.message;
  auto history = r.result.recordAs<NBFileHistoryList>();
  ASSERT_NE(history, nullptr);
  ASSERT_EQ(history->versions.size(), 3u);
  std::vector<std::string> revs;
  for (const auto& v : history->versions) {
    revs.push_back(v->version.value_or("?"));
    EXPECT_TRUE(v->createTime.has_value());
    EXPECT_TRUE(v->fileId.has_value());
  }
  std::sort(revs.begin(), revs.end());
  EXPECT_EQ(std::unique(revs.begin(), revs.end()), revs.end());  // three distinct versions

  Recorder none = call<NBGetFileHistoryOperation>(at("/none.txt"));
  EXPECT_EQ(none.successes, 0);
  EXPECT_EQ(none.message, "文件不存在");
}

TEST_F(OperationsEndToEndTest, ServiceRefusalsReachTheDelegateAsUserMessages) {
  signInNewUser("refused");
  put("/taken.txt", "x");
  put("/other.txt", "y");
  auto unknown = std::make_shared<NBOperationItem>();
  unknown->consumer = std::make_shared<NBConsumer>("no-such-consumer", "x");
  auto wrongSecret = std::make_shared<NBOperationItem>();
  wrongSecret->consumer = std::make_shared<NBConsumer>(*consumer_->key, "wrong");
  auto clash = std::make_shared<NBMoveOperationItem>();
  clash->root = "app";
  clash->fromPath = "/taken.txt";
  clash->toPath = "/other.txt";
  const struct {
    const char* label;
    Recorder outcome;
    const char* message;
  } cases[] = {
      {"three-legged flow, unknown consumer", call<NBAuth1Operation>(unknown),
       "没有这个consumer key（你确定申请了应用？）"},
      {"challenge, wrong consumer secret", call<NBGetVerificationOperation>(wrongSecret),
       "签名不正确"},
      {"listing of a missing folder", call<NBGetDirectoryOperation>([] {
         auto i = std::make_shared<NBGetDirectoryOperationItem>();
         i->root = "app";
         i->path = "/missing";
         return i;
       }()),
       "文件不存在"},
      {"folder over an existing file", call<NBCreateFolderOperation>(at("/taken.txt")),
       "同名文件已经存在"},
      {"move onto another file", call<NBMoveOperation>(clash), "同名文件已经存在"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.outcome.successes, 0) << c.label;
    EXPECT_EQ(c.outcome.failures, 1) << c.label;
    EXPECT_EQ(c.outcome.message, c.message) << c.label;
  }
}

TEST_F(OperationsEndToEndTest, NoStoredTokenSendsNothingAndReportsNothing) {
  NBAPIInfo::instance().clearAuthInfo();
  ASSERT_EQ(NBAPIInfo::instance().token(), nullptr);
  Recorder r;
  auto op = std::make_shared<NBGetUserInfoOperation>(&r, std::make_shared<NBOperationItem>());
  op->executeOperation();
  RunLoop::current().runUntil([] { return false; }, 300ms);
  EXPECT_EQ(r.calls(), 0);
}

TEST_F(OperationsEndToEndTest, ASecondExecuteWhileRunningReportsOnce) {
  signInNewUser("twice");
  Recorder r;
  auto op = std::make_shared<NBGetUserInfoOperation>(&r, std::make_shared<NBOperationItem>());
  op->executeOperation();
  op->executeOperation();
  RunLoop::current().runUntil([&] { return r.calls() > 0; }, 20000ms);
  RunLoop::current().runUntil([] { return false; }, 300ms);
  EXPECT_EQ(r.successes, 1) << r.message;
  EXPECT_EQ(r.failures, 0);
  // Nothing of the operation is left running: dropping it now is final.
  std::weak_ptr<NBGetUserInfoOperation> weak = op;
  op.reset();
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace nb
