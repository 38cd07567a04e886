// The testing kit of nbserver: fault rules (their matchers, counts and
// actions, on a live server and changed while requests run), the admin API's
// token and port, the ready file and the request log with its redaction.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "server/FaultRules.h"
#include "server/RequestLog.h"
#include "tests/server/ServiceClient.h"

namespace nb::test {
namespace {

using server::FaultRules;
using server::FaultTarget;
using server::RequestLog;

FaultTarget target(std::string role, std::string method, std::string path, std::string user = "") {
  return FaultTarget{std::move(role), std::move(method), std::move(path), [user] { return user; }};
}

// Which of the requests sent in turn a single rule disrupts, as "x" and ".".
std::string firing(const std::string& rule, const std::vector<FaultTarget>& requests) {
  FaultRules rules;
  EXPECT_TRUE(rules.add(rule).ok()) << rule;
  std::string pattern;
  for (const auto& request : requests) pattern += rules.match(request) ? "x" : ".";
  return pattern;
}

TEST(FaultRulesTest, MatchersAndCountsPickTheirRequests) {
  const auto get = target("api", "GET", "/1/metadata/app/a.txt", "carol");
  const std::vector<FaultTarget> six(6, get);
  const std::vector<FaultTarget> mixed{get, target("content", "GET", "/1/files/app/a.txt", "carol"),
                                       target("api", "POST", "/1/fileops/delete", "dave"),
                                       target("api", "GET", "/1/account_info"),
                                       target("web", "GET", "/s/abc")};
  struct Case {
    std::string rule;
    const std::vector<FaultTarget>& requests;
    std::string expected;
  };
  const Case cases[] = {
      {R"({"status":503})", mixed, "xxxxx"},
      {R"({"host":"content","status":503})", mixed, ".x..."},
      {R"({"method":"POST","status":503})", mixed, "..x.."},
      {R"({"path":"/1/*/app/*","status":503})", mixed, "xx..."},
      {R"({"path":"/s/???","status":503})", mixed, "....x"},
      {R"({"user":"carol","status":503})", mixed, "xx..."},
      {R"({"user":"dave","method":"GET","status":503})", mixed, "....."},
      {R"({"nth":3,"status":503})", six, "..x..."},
      {R"({"first":2,"status":503})", six, "xx...."},
      {R"({"every":2,"status":503})", six, ".x.x.x"},
      {R"({"probability":0,"status":503})", six, "......"},
      {R"({"probability":1,"status":503})", six, "xxxxxx"},
      // Counts run over matching requests only.
      {R"({"host":"api","method":"GET","nth":2,"status":503})", mixed, "...x."},
  };
  for (const auto& c : cases) EXPECT_EQ(firing(c.rule, c.requests), c.expected) << c.rule;
}

TEST(FaultRulesTest, ProbabilityFollowsItsSeed) {
  const std::vector<FaultTarget> many(400, target("api", "GET", "/x"));
  const std::string rule = R"({"probability":0.5,"seed":7,"reset":true})";
  const std::string first = firing(rule, many);
  EXPECT_EQ(firing(rule, many), first);
  EXPECT_NE(firing(R"({"probability":0.5,"seed":8,"reset":true})", many), first);
  const auto fired = std::count(first.begin(), first.end(), 'x');
  EXPECT_GT(fired, 140);
  EXPECT_LT(fired, 260);
}

TEST(FaultRulesTest, RefusesMalformedRulesWhole) {
  for (const std::string rule : {
           R"({"stauts":503})",  // a misspelt field would match everything
           R"({"path":"/x"})",   // no action
           R"({"status":99})", R"({"status":"503"})", R"({"nth":-1,"status":503})",
           R"({"nth":2,"every":3,"status":503})",  // two counts
           R"({"probability":1.5,"status":503})", R"({"bytes_per_second":0})",
           R"({"headers":{"A":1}})", R"([1])", "nonsense",
           R"([{"status":503},{"reset":"yes"}])",  // one bad rule refuses the batch
       }) {
    FaultRules rules;
    EXPECT_FALSE(rules.add(rule).ok()) << rule;
    EXPECT_FALSE(rules.armed()) << rule;
  }
}

TEST(RequestLogTest, RedactsSecretsInTheTarget) {
  const struct {
    std::string target, expected;
  } cases[] = {
      {"/1/account_info", "/1/account_info"},
      {"/1/a?oauth_signature=abc%3D&x=1", "/1/a?oauth_signature=REDACTED&x=1"},
      {"/1/a?x=1&oauth_token=t&OAUTH_TOKEN_SECRET=s",
       "/1/a?x=1&oauth_token=REDACTED&OAUTH_TOKEN_SECRET=REDACTED"},
      {"/o?x_auth_password=p&password=q&passwd=r",
       "/o?x_auth_password=REDACTED&password=REDACTED&passwd=REDACTED"},
      {"/o?oauth%5Fsignature=s", "/o?oauth%5Fsignature=REDACTED"},
      {"/o?oauth_consumer_key=k&oauth_signature_method=HMAC-SHA1",
       "/o?oauth_consumer_key=k&oauth_signature_method=HMAC-SHA1"},
  };
  for (const auto& c : cases) EXPECT_EQ(RequestLog::redact(c.target), c.expected);
  RequestLog::Entry entry;
  entry.target = "/1/a?oauth_signature=secret";
  entry.requestId = "r-1";
  const std::string line = RequestLog::line(entry);
  EXPECT_EQ(line.find("secret"), std::string::npos) << line;
  EXPECT_NE(line.find("\"request_id\":\"r-1\""), std::string::npos) << line;
}

TEST(RequestLogTest, KeepsTheLastThousand) {
  RequestLog log;
  for (int i = 0; i < 1005; ++i) {
    RequestLog::Entry entry;
    entry.target = "/" + std::to_string(i);
    log.record(entry);
  }
  const std::string recent = log.recent();
  EXPECT_EQ(std::count(recent.begin(), recent.end(), '\n'), 1000);
  EXPECT_EQ(recent.find("\"/4\""), std::string::npos);
  EXPECT_NE(recent.find("\"/5\""), std::string::npos);
}

// What a raw request on a plain port got back: the bytes until the
// connection ended or went quiet, and how it ended.
struct RawOutcome {
  std::string bytes;
  bool reset = false;   // ended by a reset
  bool silent = false;  // still open, nothing more within the wait
};

RawOutcome rawRequest(int port, const std::string& request, int waitMillis = 3000) {
  RawOutcome out;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval wait{waitMillis / 1000, (waitMillis % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
    ::close(fd);
    return out;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      out.bytes.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    out.reset = n < 0 && errno == ECONNRESET;
    out.silent = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    break;
  }
  ::close(fd);
  return out;
}

std::string get(const std::string& host, const std::string& target, const std::string& extra = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra +
         "Connection: close\r\n\r\n";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TestKitTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TemporaryFolder("nbserver-kit");
    const std::string faults = in("faults.json");
    std::ofstream(faults) << R"([{"path":"/from-file","status":418}])";
    server_ = new NbServerProcess({"--admin-port", "0", "--faults", faults, "--ready-file",
                                   in("ready"), "--request-log", in("log.jsonl")});
    ASSERT_TRUE(server_->ok()) << server_->error();
    ASSERT_TRUE(server_->addUser("carol", "carol-pass"));
    // Before any test clears the rules.
    fileRuleReply_ = rawRequest(port(), get(ServiceClient::api(), "/from-file")).bytes;
  }
  static void TearDownTestSuite() {
    delete server_;
    delete folder_;
  }
  void TearDown() override { admin("DELETE", "/faults"); }

  static Reply admin(const std::string& method, const std::string& path,
                     const std::string& body = "", bool withToken = true) {
    httplib::Client client(server_->env("NB_ADMIN_URL"));
    httplib::Headers headers;
    if (withToken) headers.emplace("Authorization", "Bearer " + server_->env("NB_ADMIN_TOKEN"));
    auto result = method == "GET"      ? client.Get(path, headers)
                  : method == "DELETE" ? client.Delete(path, headers)
                                       : client.Post(path, headers, body, "application/json");
    if (!result) return {};
    return Reply{result->status, result->body, result->headers};
  }
  // Adds rules; the id of the last one, 0 on failure.
  static long addRule(const std::string& rule) {
    const Reply added = admin("POST", "/faults", rule);
    EXPECT_EQ(added.status, 200) << added.body;
    const auto end = added.body.rfind(']');
    const auto begin = added.body.find_last_of("[,", end);
    return end == std::string::npos ? 0 : std::stol(added.body.substr(begin + 1, end - begin - 1));
  }
  static int port() { return server_->httpPort(); }

  static std::string in(const std::string& name) { return (folder_->path() / name).string(); }

  static inline std::string fileRuleReply_;
  static inline TemporaryFolder* folder_ = nullptr;
  static inline NbServerProcess* server_ = nullptr;
};

TEST_F(TestKitTest, StartsWithTheFaultsFileAndWritesTheReadyFile) {
  EXPECT_EQ(fileRuleReply_.rfind("HTTP/1.1 418", 0), 0u) << fileRuleReply_;
  const std::string ready = readFile(in("ready"));
  for (const char* name : {"NB_CONNECT_TO", "NB_CA_FILE", "NB_ADMIN_URL", "NB_ADMIN_TOKEN"}) {
    EXPECT_NE(ready.find("export " + std::string(name) + "='" + server_->env(name) + "'"),
              std::string::npos)
        << name;
  }
}

TEST_F(TestKitTest, AdminApiWantsItsTokenAndStaysOffTheServicePorts) {
  EXPECT_EQ(admin("GET", "/healthz", "", false).status, 200);
  for (const auto& [method, path] :
       std::vector<std::pair<std::string, std::string>>{{"GET", "/faults"},
                                                        {"POST", "/faults"},
                                                        {"DELETE", "/faults/1"},
                                                        {"GET", "/requests"}}) {
    EXPECT_EQ(admin(method, path, R"({"status":503})", false).status, 401) << method << path;
  }
  httplib::Client wrong(server_->env("NB_ADMIN_URL"));
  EXPECT_EQ(wrong.Get("/faults", {{"Authorization", "Bearer 0123"}})->status, 401);

  const std::string token = "Authorization: Bearer " + server_->env("NB_ADMIN_TOKEN") + "\r\n";
  for (const std::string& host :
       {ServiceClient::api(), ServiceClient::web(), std::string("127.0.0.1")}) {
    for (const char* path : {"/healthz", "/faults", "/requests"}) {
      const auto reply = rawRequest(port(), get(host, path, token));
      EXPECT_EQ(reply.bytes.rfind("HTTP/1.1 404", 0), 0u) << host << path << reply.bytes;
    }
  }
}

TEST_F(TestKitTest, EveryActionDisruptsItsRequest) {
  const std::string api = ServiceClient::api();
  const auto served = [](const RawOutcome& r) {
    EXPECT_EQ(r.bytes.rfind("HTTP/1.1 404", 0), 0u) << r.bytes;
    EXPECT_EQ(r.bytes.substr(r.bytes.size() - 2), "\"}") << r.bytes;  // whole
  };
  struct Case {
    std::string rule;
    std::function<void(const RawOutcome&)> check;
    int atLeastMillis = 0;  // the exchange takes at least this long
  };
  const Case cases[] = {
      {R"({"status":503,"body":"busy","headers":{"Retry-After":"7"}})",
       [](const RawOutcome& r) {
         EXPECT_EQ(r.bytes.rfind("HTTP/1.1 503", 0), 0u) << r.bytes;
         EXPECT_NE(r.bytes.find("Retry-After: 7\r\n"), std::string::npos) << r.bytes;
         EXPECT_EQ(r.bytes.substr(r.bytes.size() - 4), "busy");
       }},
      {R"({"delay_ms":300})", served, 300},
      // The 33-byte reply body at 100 bytes a second.
      {R"({"bytes_per_second":100})", served, 250},
      {R"({"cut_after":3})",
       [](const RawOutcome& r) {
         const auto head = r.bytes.find("\r\n\r\n");
         ASSERT_NE(head, std::string::npos) << r.bytes;
         EXPECT_EQ(r.bytes.size() - head - 4, 3u) << r.bytes;
         EXPECT_EQ(r.bytes.find("Content-Length: 3\r\n"), std::string::npos) << r.bytes;
       }},
      {R"({"reset":true})",
       [](const RawOutcome& r) {
         EXPECT_TRUE(r.reset);
         EXPECT_EQ(r.bytes, "");
       }},
      {R"({"no_answer":true})",
       [](const RawOutcome& r) {
         EXPECT_TRUE(r.silent);
         EXPECT_EQ(r.bytes, "");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    admin("DELETE", "/faults");
    addRule(c.rule);
    const auto began = std::chrono::steady_clock::now();
    c.check(rawRequest(port(), get(api, "/nowhere"), 700));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(c.atLeastMillis));
    EXPECT_NE(admin("GET", "/faults").body.find("\"hits\":1"), std::string::npos);
  }
}

TEST_F(TestKitTest, RulesMatchUsersAndCountOnTheLiveServer) {
  const long id =
      addRule(R"({"host":"api","user":"carol","path":"/1/account_info","nth":2,"status":507})");

  ServiceClient client(*server_);
  const NBToken carol = client.loginToken("carol", "carol-pass");
  const std::string url = "http://" + ServiceClient::api() + "/1/account_info";
  EXPECT_EQ(client.signedGet(url, &carol).status, 200);
  EXPECT_EQ(client.signedGet(url, &carol).status, 507);
  EXPECT_EQ(client.signedGet(url, &carol).status, 200);
  // An unsigned request has no user, so it does not count.
  EXPECT_EQ(rawRequest(port(), get(ServiceClient::api(), "/1/account_info")).bytes.substr(0, 12),
            "HTTP/1.1 400");
  const std::string listed = admin("GET", "/faults").body;
  EXPECT_NE(listed.find(R"("matched":3,"hits":1,"rule":{"host":"api")"), std::string::npos)
      << listed;

  EXPECT_EQ(admin("DELETE", "/faults/" + std::to_string(id)).status, 200);
  EXPECT_EQ(admin("DELETE", "/faults/" + std::to_string(id)).status, 404);
  EXPECT_EQ(admin("POST", "/faults", R"({"stauts":503})").status, 400);
}

TEST_F(TestKitTest, RulesChangeWhileRequestsRun) {
  std::atomic<bool> done{false};
  std::atomic<int> refused{0}, other{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&] {
      while (!done) {
        const std::string status =
            rawRequest(port(), get(ServiceClient::api(), "/busy")).bytes.substr(0, 12);
        (status == "HTTP/1.1 503" ? refused : other)++;
        if (status != "HTTP/1.1 503" && status != "HTTP/1.1 404") ADD_FAILURE() << status;
      }
    });
  }
  for (int round = 0; round < 30; ++round) {
    addRule(R"({"path":"/busy","status":503})");
    addRule(R"({"path":"/elsewhere","reset":true})");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    admin("DELETE", "/faults");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  done = true;
  for (auto& client : clients) client.join();
  EXPECT_GT(other.load(), 0);
  EXPECT_EQ(admin("GET", "/faults").body, "[]");
}

TEST_F(TestKitTest, RequestLogRecordsRequestsWithSecretsRedacted) {
  addRule(R"({"path":"/logged","status":429})");
  rawRequest(port(), get(ServiceClient::api(),
                         "/logged?oauth_token=tok-secret&x_auth_password=pw-secret&n=1",
                         "X-Request-Id: req-42\r\n"));
  for (const std::string& log : {admin("GET", "/requests").body, readFile(in("log.jsonl"))}) {
    const auto at = log.find("\"request_id\":\"req-42\"");
    ASSERT_NE(at, std::string::npos) << log;
    const std::string line =
        log.substr(log.rfind('\n', at) + 1, log.find('\n', at) - log.rfind('\n', at));
    for (const char* expected :
         {R"("host":"api")", R"("method":"GET")",
          R"("path":"/logged?oauth_token=REDACTED&x_auth_password=REDACTED&n=1")",
          R"("status":429)", R"("fault":"rule )"}) {
      EXPECT_NE(line.find(expected), std::string::npos) << expected << " in " << line;
    }
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;
  }
}

}  // namespace
}  // namespace nb::test

namespace nb::test {
namespace {

// A seed folder: carol with a quota, a nested file and an empty folder, and a
// consumer with fixed credentials.
void writeSeed(const std::filesystem::path& seed, const std::string& user) {
  std::filesystem::create_directories(seed / user / "app" / "docs" / "empty");
  std::ofstream(seed / user / "app" / "docs" / "a.txt") << "seeded " << user;
  std::ofstream(seed / "users.json")
      << R"({"users":{")" << user << R"(":{"password":"pw-)" << user
      << R"(","quota":5000}},"consumers":[{"name":"fixed","key":"seedkey","secret":"seedsecret"}]})";
}

void expectSeeded(const NbServerProcess& server, const std::string& user) {
  SCOPED_TRACE(user);
  ServiceClient client(server);
  const NBToken token = client.loginToken(user, "pw-" + user);
  const Reply file =
      client.signedGet("http://" + ServiceClient::content() + "/1/fileops/download_file", &token,
                       {{"root", "app"}, {"path", "/docs/a.txt"}});
  EXPECT_EQ(file.body, "seeded " + user);
  const Reply folder =
      client.signedGet("http://" + ServiceClient::api() + "/1/metadata/app/docs/empty", &token);
  EXPECT_EQ(jsonField(folder.body, "type").value_or(""), "folder") << folder.body;
  const Reply account =
      client.signedGet("http://" + ServiceClient::api() + "/1/account_info", &token);
  EXPECT_NE(account.body.find("5000"), std::string::npos) << account.body;
}

TEST(SeedTest, InMemoryServerStartsSeededAndTheSeedCommandAddsMore) {
  TemporaryFolder seeds("nbserver-seed");
  writeSeed(seeds.path() / "first", "erin");
  NbServerProcess server({"--in-memory", "--seed", (seeds.path() / "first").string()});
  ASSERT_TRUE(server.ok()) << server.error();
  EXPECT_EQ(server.env("NB_CA_FILE").rfind("/dev/shm/", 0), 0u);
  expectSeeded(server, "erin");

  // The in-memory data folder is where the certificate is.
  const std::string data =
      std::filesystem::path(server.env("NB_CA_FILE")).parent_path().parent_path().string();
  writeSeed(seeds.path() / "second", "frank");
  EXPECT_EQ(server.runCommand({"seed", "--data", data, (seeds.path() / "second").string()}), 0);
  expectSeeded(server, "frank");

  std::filesystem::create_directories(seeds.path() / "bad");
  std::ofstream(seeds.path() / "bad" / "users.json") << "{nonsense";
  EXPECT_EQ(server.runCommand({"seed", "--data", data, (seeds.path() / "bad").string()}), 1);
}

}  // namespace
}  // namespace nb::test
