#include "nb/Private/NBNetworkOperation.h"
#include "nb/Private/internal/NBReplySink.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "nb/Private/ParseError.h"
#include "nb/Private/internal/ServiceMessage.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/internal/MemoryTransport.h"
#include "tests/support/LoopbackServers.h"

namespace nb {
namespace {

using std::chrono::milliseconds;
using test::HttpTestServer;
using test::RawTestServer;

// What the hooks saw, shared with the test after the operation is gone.
struct HookLog {
  std::vector<std::optional<std::string>> successData;
  int chunks = 0;
};

// An operation that GETs one URL. Optionally it refuses every status but
// "200" (as the upload and download operations do) or cancels itself in the
// middle of the body. Its success result is the body text; a nil body, which
// only a refused status leaves, is reported to nobody.
class ProbeOperation : public NBNetworkOperation {
 public:
  ProbeOperation(NBOperationDelegate* delegate, std::string url, std::shared_ptr<HookLog> log)
      : NBNetworkOperation(delegate, std::make_shared<NBOperationItem>()),
        url_(std::move(url)),
        log_(std::move(log)) {}

  bool refuseStatus = false;
  bool cancelInBody = false;
  std::shared_ptr<Transport> transport;  // null: the network

  void executeOperation() override {
    if (transport) setTransport(transport);
    auto request = URLRequest::requestWithURL(url_);
    request.setTimeoutInterval(1);
    startConnection(request);
  }
  void connectionDidReceiveData(URLConnection* connection, std::string_view chunk) override {
    ++log_->chunks;
    NBNetworkOperation::connectionDidReceiveData(connection, chunk);
    if (cancelInBody) cancelOperation();
  }

 protected:
  bool handleErrorCode(const std::string& status) override {
    if (!refuseStatus || status == "200") return false;
    reportFail(ParseError::normalFailure(status));
    return true;
  }
  void handleSuccessData(const std::optional<std::string>& data) override {
    log_->successData.push_back(data);
    if (data) reportSuccess(NBResult::text(*data));
  }

 private:
  std::string url_;
  std::shared_ptr<HookLog> log_;
};

// The owner: holds the operation, records outcomes, and may release or
// cancel the operation inside its callbacks.
struct Owner : NBOperationDelegate {
  std::shared_ptr<ProbeOperation> operation;
  std::vector<std::string> outcomes;  // "success <text>" or "fail <message>"
  bool releaseInCallback = false;
  bool cancelInFail = false;

  void operationSuccess(NBOperation*, const NBResult& result) override {
    outcomes.push_back("success " + *result.textValue());
    if (releaseInCallback) operation.reset();
  }
  void operationFail(NBOperation* failed, const std::string& message) override {
    outcomes.push_back("fail " + message);
    if (cancelInFail) failed->cancelOperation();
    if (releaseInCallback) operation.reset();
  }
};

// Runs the owner's operation until the transport has let go of it, then a
// little longer so that a late callback would be seen.
void runToEnd(Owner& owner, std::shared_ptr<HookLog>& log, const std::string& url,
              std::weak_ptr<ProbeOperation>* watch = nullptr) {
  std::weak_ptr<ProbeOperation> weak = owner.operation;
  owner.operation->executeOperation();
  if (!owner.releaseInCallback) {
    RunLoop::current().runUntil([&] { return !owner.outcomes.empty(); }, milliseconds(5000));
    RunLoop::current().runUntil([] { return false; }, milliseconds(30));
    owner.operation.reset();
  }
  EXPECT_TRUE(RunLoop::current().runUntil([&] { return weak.expired(); }, milliseconds(5000)))
      << "operation not freed: " << url;
  RunLoop::current().runUntil([] { return false; }, milliseconds(30));
  if (watch != nullptr) *watch = weak;
  (void)log;
}

// The service's replies by URL, played without a socket; the same routes as
// the loopback server's below.
std::shared_ptr<MemoryTransport> scriptedService() {
  auto transport = std::make_shared<MemoryTransport>();
  transport->setResponder([](const URLRequest& request) {
    const std::string path = request.URL().substr(request.URL().find('/', 7));
    const std::map<std::string, MemoryReply> routes = {
        {"/ok", MemoryReply::withBody(200, R"({"msg":"ok","size":3})")},
        {"/file-exist", MemoryReply::withBody(200, R"({"msg":"file exist"})")},
        {"/unknown", MemoryReply::withBody(200, R"({"msg":"strange keyword"})")},
        {"/number", MemoryReply::withBody(200, R"({"msg":5})")},
        {"/text", MemoryReply::withBody(200, "plain words, not JSON")},
        {"/array", MemoryReply::withBody(200, R"([{"msg":"file exist"}])")},
        {"/empty", MemoryReply::withBody(200, "")},
        {"/404-plain", MemoryReply::withBody(404, "no such page")},
        {"/404-msg", MemoryReply::withBody(404, R"({"msg":"file exist"})")},
    };
    if (auto it = routes.find(path); it != routes.end()) return it->second;
    MemoryReply cut = MemoryReply::withBody(200, "");
    cut.headers = {{"Content-Length", "5000"}};
    cut.chunks = {path == "/500-reset" ? "partial" : "{\"msg\":"};
    if (path == "/500-reset") cut.status = 500;
    cut.ending = MemoryReply::Ending::kNetworkFailure;
    cut.failureText = "Connection reset by peer.";
    if (path == "/reset" || path == "/500-reset") return cut;
    if (path == "/silent") return MemoryReply::failure(MemoryReply::Ending::kTimeOut);
    return MemoryReply::failure(MemoryReply::Ending::kNetworkFailure, "No route for " + path);
  });
  return transport;
}

const std::string kService = "http://api.nimbus.test";

class NBNetworkOperationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::pair<const char*, const char*> bodies[] = {
        {"/ok", R"({"msg":"ok","size":3})"},
        {"/file-exist", R"({"msg":"file exist"})"},
        {"/unknown", R"({"msg":"strange keyword"})"},
        {"/number", R"({"msg":5})"},
        {"/text", "plain words, not JSON"},
        {"/array", R"([{"msg":"file exist"}])"},
        {"/empty", ""},
    };
    for (const auto& [path, body] : bodies) {
      http.server.Get(path, [body = std::string(body)](const httplib::Request&,
                                                         httplib::Response& res) {
        res.set_content(body, "application/json");
      });
    }
    http.server.Get("/404-plain", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("no such page", "text/plain");
    });
    http.server.Get("/404-msg", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content(R"({"msg":"file exist"})", "application/json");
    });
    http.server.Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(4 << 20, 'x'), "application/octet-stream");
    });
  }

  HttpTestServer http;
};

TEST_F(NBNetworkOperationTest, EachRequestEndsInExactlyOneOutcome) {
  const std::string refused = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/";
  struct Case {
    std::string url;
    std::string outcome;  // the one delegate call; "fail <prefix>" for transport errors
  };
  const std::vector<Case> cases = {
      {kService + "/ok", R"(success {"msg":"ok","size":3})"},
      {kService + "/file-exist", "fail " + ParseError::transformMessage("file exist")},
      {kService + "/unknown", "fail strange keyword"},
      {kService + "/number", R"(success {"msg":5})"},
      {kService + "/text", "success plain words, not JSON"},
      {kService + "/array", R"(success [{"msg":"file exist"}])"},
      {kService + "/empty", "success "},
      {kService + "/404-plain", "success no such page"},  // judged by its body only
      {kService + "/404-msg", "fail " + ParseError::transformMessage("file exist")},
      {kService + "/reset", "fail Connection reset"},
      {kService + "/silent", "fail The request timed out."},
      {refused, "fail Failed to connect"},  // over the network: the transport's own text
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto log = std::make_shared<HookLog>();
    Owner owner;
    owner.operation = std::make_shared<ProbeOperation>(&owner, c.url, log);
    if (c.url != refused) owner.operation->transport = scriptedService();
    runToEnd(owner, log, c.url);
    ASSERT_EQ(owner.outcomes.size(), 1u);
    EXPECT_EQ(owner.outcomes[0].rfind(c.outcome, 0), 0u) << owner.outcomes[0];
    // handleSuccessData runs exactly when no failure was reported.
    EXPECT_EQ(log->successData.size(), c.outcome.rfind("success", 0) == 0 ? 1u : 0u);
  }
}

TEST_F(NBNetworkOperationTest, RefusedStatusReportsOnceAndTheTransferRunsOnUnlessCancelled) {
  struct Case {
    std::string name;
    std::string url;
    bool cancelInFail;
    std::vector<std::optional<std::string>> successData;  // what the hook saw afterwards
  };
  const std::vector<Case> cases = {
      // Nobody cancels: the body is dropped and the reply hook never runs.
      {"runs on", kService + "/404-msg", false, {}},
      {"cancelled by the owner", kService + "/404-msg", true, {}},
      // The transfer then fails too, but the delegate has heard already.
      {"then fails", kService + "/500-reset", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto log = std::make_shared<HookLog>();
    Owner owner;
    owner.cancelInFail = c.cancelInFail;
    owner.operation = std::make_shared<ProbeOperation>(&owner, c.url, log);
    owner.operation->refuseStatus = true;
    owner.operation->transport = scriptedService();
    std::weak_ptr<ProbeOperation> weak = owner.operation;
    owner.operation->executeOperation();
    owner.operation.reset();  // the running request keeps it alive until its end
    EXPECT_TRUE(RunLoop::current().runUntil([&] { return weak.expired(); }, milliseconds(5000)));
    RunLoop::current().runUntil([] { return false; }, milliseconds(30));
    ASSERT_EQ(owner.outcomes.size(), 1u);
    EXPECT_EQ(owner.outcomes[0].rfind("fail ", 0), 0u);
    EXPECT_NE(owner.outcomes[0].find(ParseError::getNormalErrorMessage(
                  c.name == "then fails" ? "500" : "404")),
              std::string::npos);
    EXPECT_EQ(log->successData, c.successData);
  }
}

TEST_F(NBNetworkOperationTest, ASecondResponseStartsAFreshBody) {
  auto log = std::make_shared<HookLog>();
  Owner owner;
  auto operation = std::make_shared<ProbeOperation>(&owner, "", log);
  const URLResponse ok("http://api.nimbus.test/x", 200, {});
  operation->connectionDidReceiveResponse(nullptr, ok);
  operation->connectionDidReceiveData(nullptr, "first ");
  operation->connectionDidReceiveData(nullptr, "body");
  operation->connectionDidReceiveResponse(nullptr, ok);
  operation->connectionDidReceiveData(nullptr, "second");
  operation->connectionDidFinishLoading(nullptr);
  EXPECT_EQ(owner.outcomes, std::vector<std::string>{"success second"});
}

TEST_F(NBNetworkOperationTest, AReplyPastTheMemoryBoundFailsOnceAndIsNotKept) {
  auto log = std::make_shared<HookLog>();
  Owner owner;
  auto operation = std::make_shared<ProbeOperation>(&owner, "", log);
  operation->connectionDidReceiveResponse(nullptr,
                                          URLResponse("http://api.nimbus.test/x", 200, {}));
  const std::string mebibyte(1 << 20, 'x');
  for (int i = 0; i < 66; ++i) operation->connectionDidReceiveData(nullptr, mebibyte);
  operation->connectionDidFinishLoading(nullptr);
  ASSERT_EQ(owner.outcomes.size(), 1u);
  EXPECT_NE(owner.outcomes[0].find("64 MiB"), std::string::npos) << owner.outcomes[0];
  EXPECT_EQ(operation->failureStatus().code(), StatusCode::kResourceExhausted);
  EXPECT_TRUE(log->successData.empty());
}

TEST_F(NBNetworkOperationTest, AReplyPastTheBoundIsCancelledWithOneFailure) {
  // An endless body without a length: the server streams until the client goes away.
  auto sent = std::make_shared<std::atomic<std::size_t>>(0);
  http.server.Get("/endless", [sent](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/json",
                                     [sent](std::size_t, httplib::DataSink& sink) {
                                       static const std::string chunk(1 << 20, '[');
                                       *sent += chunk.size();
                                       return sink.write(chunk.data(), chunk.size());
                                     });
  });
  // A body announced past the bound is refused before any of it is read.
  RawTestServer announced([sent](int fd, const std::atomic<bool>& stopping) {
    RawTestServer::readRequestHead(fd);
    RawTestServer::sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\n[[[[");
    while (!stopping) std::this_thread::sleep_for(milliseconds(10));
  });
  for (const std::string& url : {http.url("/endless"), announced.url("/")}) {
    SCOPED_TRACE(url);
    sent->store(0);
    auto log = std::make_shared<HookLog>();
    Owner owner;
    owner.operation = std::make_shared<ProbeOperation>(&owner, url, log);
    runToEnd(owner, log, url);
    ASSERT_EQ(owner.outcomes.size(), 1u);
    EXPECT_NE(owner.outcomes[0].find("64 MiB"), std::string::npos) << owner.outcomes[0];
    EXPECT_TRUE(log->successData.empty());
    // The transfer stopped near the bound instead of running on.
    EXPECT_LT(sent->load(), kReplyMemoryLimit + (32u << 20));
  }
}

TEST_F(NBNetworkOperationTest, NothingIsHeardAfterCancel) {
  struct Case {
    std::string name;
    std::string path;
    bool cancelBeforeStart, cancelAfterStart, cancelInBody;
  };
  const std::vector<Case> cases = {
      {"never started, cancelled twice", "/ok", true, false, false},
      {"cancelled right after start, twice", "/ok", false, true, false},
      {"cancelled during the body", "/big", false, false, true},  // on the network
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto log = std::make_shared<HookLog>();
    Owner owner;
    auto operation = std::make_shared<ProbeOperation>(&owner, http.url(c.path), log);
    std::weak_ptr<ProbeOperation> weak = operation;
    operation->cancelInBody = c.cancelInBody;
    if (c.cancelBeforeStart) {
      operation->cancelOperation();
      operation->cancelOperation();
    } else {
      operation->executeOperation();
      if (c.cancelAfterStart) {
        operation->cancelOperation();
        operation->cancelOperation();
      }
    }
    operation.reset();
    EXPECT_TRUE(RunLoop::current().runUntil([&] { return weak.expired(); }, milliseconds(5000)));
    RunLoop::current().runUntil([] { return false; }, milliseconds(100));
    EXPECT_TRUE(owner.outcomes.empty());
    EXPECT_TRUE(log->successData.empty());
    EXPECT_EQ(log->chunks, c.cancelInBody ? 1 : 0);
  }
}

TEST_F(NBNetworkOperationTest, OwnerMayReleaseTheOperationInsideItsCallback) {
  for (const char* path : {"/ok", "/file-exist", "/reset"}) {
    const std::string url = kService + path;
    SCOPED_TRACE(url);
    auto log = std::make_shared<HookLog>();
    Owner owner;
    owner.releaseInCallback = true;
    owner.operation = std::make_shared<ProbeOperation>(&owner, url, log);
    owner.operation->transport = scriptedService();
    runToEnd(owner, log, url);
    EXPECT_EQ(owner.outcomes.size(), 1u);
    EXPECT_EQ(owner.operation, nullptr);
  }
  // Refused status: the owner cancels and releases inside operationFail.
  auto log = std::make_shared<HookLog>();
  Owner owner;
  owner.releaseInCallback = true;
  owner.cancelInFail = true;
  owner.operation = std::make_shared<ProbeOperation>(&owner, kService + "/404-plain", log);
  owner.operation->refuseStatus = true;
  owner.operation->transport = scriptedService();
  runToEnd(owner, log, "refused");
  EXPECT_EQ(owner.outcomes.size(), 1u);
  EXPECT_TRUE(log->successData.empty());
}

// Two requests in a row on one operation, the second started from the first's
// success hook, as the chained sign-in and upload operations do.
class ChainOperation : public NBNetworkOperation {
 public:
  ChainOperation(NBOperationDelegate* delegate, std::vector<std::string> urls)
      : NBNetworkOperation(delegate, nullptr), urls_(std::move(urls)) {}
  void executeOperation() override { startConnection(URLRequest::requestWithURL(urls_[step_])); }
  std::string bodies;

 protected:
  void handleSuccessData(const std::optional<std::string>& data) override {
    const std::string body = data.value_or("<nil>");
    bodies += body + ";";
    if (++step_ < urls_.size()) {
      executeOperation();
      EXPECT_EQ(data.value_or("<nil>"), body);  // the body stays valid while the next starts
      return;
    }
    reportSuccess(NBResult::text(bodies));
  }

 private:
  std::vector<std::string> urls_;
  std::size_t step_ = 0;
};

TEST_F(NBNetworkOperationTest, FollowUpRequestStartsFromTheSuccessHook) {
  Owner owner;
  auto chain = std::make_shared<ChainOperation>(
      &owner, std::vector<std::string>{http.url("/text"), http.url("/ok"), http.url("/empty")});
  std::weak_ptr<ChainOperation> weak = chain;
  chain->executeOperation();
  chain.reset();
  EXPECT_TRUE(RunLoop::current().runUntil([&] { return weak.expired(); }, milliseconds(5000)));
  EXPECT_EQ(owner.outcomes,
            std::vector<std::string>{R"(success plain words, not JSON;{"msg":"ok","size":3};;)"});
}

TEST_F(NBNetworkOperationTest, NullDelegateRunsToTheEndSilently) {
  auto log = std::make_shared<HookLog>();
  auto operation = std::make_shared<ProbeOperation>(nullptr, http.url("/file-exist"), log);
  std::weak_ptr<ProbeOperation> weak = operation;
  operation->executeOperation();
  operation.reset();
  EXPECT_TRUE(RunLoop::current().runUntil([&] { return weak.expired(); }, milliseconds(5000)));
  EXPECT_TRUE(log->successData.empty());  // "file exist" was a failure, told to nobody
}

// The glance that spares most replies the parse never hides a service error:
// each body is judged by the glance and by a full parse.
TEST(ServiceMessageTest, TheGlanceSkipsOnlyBodiesWithoutAnError) {
  const auto parsedError = [](std::string_view body) {
    const auto value = NBJsonUtility::jsonValueFromString(body);
    if (!value || !value->isObject()) return false;
    const JsonValue* message = value->find("msg");
    return message != nullptr && (!message->isString() || message->stringValue() != "ok");
  };
  struct Case {
    std::string body;
    bool skipped;  // the glance alone decides: no error
  };
  const std::vector<Case> cases = {
      {R"({"root":"app","path":"/a","size":3})", true},
      {R"({"msg":"ok","size":3})", true},
      {" {\n \"msg\" :\t\"ok\" }", true},
      {"{\v\"msg\":\f\"ok\"}", true},  // white space as the parser counts it
      {R"({"msg":"ok"})", true},
      {"", true},
      {"plain words, not JSON", true},
      {R"({"msgs":"x","a":"\"msg\""})", true},
      {R"({"msg":"file exist"})", false},
      {R"({"msg":"okay"})", false},
      {R"({"msg":"ok","msg":"file exist"})", false},  // the later member wins
      {R"({"msg":"ok","a":{"msg":"file exist"}})", false},
      {R"({"\u006dsg":"file exist"})", false},  // "msg" spelt with an escape
      {R"({"m\u0073g":"file exist","msg":"ok"})", false},
      {R"({"size":3,"msg":"file exist"})", false},
      {R"({"size":3,"msg":"ok"})", false},
      {R"({"msg":5})", false},
      {R"({"msg":"ok\u0020"})", false},
      {R"([{"msg":"file exist"}])", false},
      {R"({"msg":"ok" "x"})", false},
      // The search starts at each "m": other m's, a key that only ends in
      // "msg", and a body that ends in "m" or in a backslash.
      {R"({"mm":"m","xmsg":"ok","msg":"file exist"})", false},
      {R"({"xmsg":"file exist","mime":"m"})", true},
      {"ends in m", true},
      {"{\"a\":\"\\", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(!mayCarryServiceMessage(c.body), c.skipped);
    if (!mayCarryServiceMessage(c.body)) {
      EXPECT_FALSE(parsedError(c.body));
    }
  }
}

}  // namespace
}  // namespace nb
