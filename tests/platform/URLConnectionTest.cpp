#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "nb/platform/AsciiText.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/URLConnection.h"
#include "nb/platform/internal/MemoryTransport.h"
#include "nb/platform/internal/Transport.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/TemporaryFolder.h"

namespace nb {
namespace {

using std::chrono::milliseconds;
using test::HttpTestServer;
using test::RawTestServer;

// Records every callback as one line, checks that they arrive on the thread
// that started the request, and can cancel at a chosen event.
struct Recorder : URLConnectionDelegate {
  std::vector<std::string> events;
  std::string body;
  URLResponse response;
  NBError error;
  std::int64_t lastSent = 0, lastExpected = 0, sentSum = 0;
  bool ended = false;
  std::thread::id thread = std::this_thread::get_id();
  bool wrongThread = false;
  std::string cancelAt;  // prefix of the event after which to cancel
  URLConnection* connection = nullptr;

  void note(URLConnection* c, std::string event) {
    if (std::this_thread::get_id() != thread) wrongThread = true;
    connection = c;
    const bool cancelNow = !cancelAt.empty() && event.rfind(cancelAt, 0) == 0;
    events.push_back(std::move(event));
    if (cancelNow) {
      c->cancel();
      c->cancel();
    }
  }
  void connectionDidReceiveResponse(URLConnection* c, const URLResponse& r) override {
    response = r;
    body.clear();
    note(c, "response " + std::to_string(r.statusCode()));
  }
  void connectionDidReceiveData(URLConnection* c, std::string_view chunk) override {
    body.append(chunk);
    note(c, "data");
  }
  void connectionDidSendBodyData(URLConnection* c, std::int64_t written, std::int64_t total,
                                 std::int64_t expected) override {
    sentSum += written;
    lastSent = total;
    lastExpected = expected;
    note(c, "sent");
  }
  void connectionDidFailWithError(URLConnection* c, const NBError& e) override {
    error = e;
    ended = true;
    note(c, "fail");
  }
  void connectionDidFinishLoading(URLConnection* c) override {
    ended = true;
    note(c, "finish");
  }

  // The events with repeated "data" and "sent" lines folded into one.
  std::string summary() const {
    std::string text;
    for (const auto& e : events) {
      if ((e == "data" || e == "sent") && text.size() >= e.size() &&
          text.compare(text.size() - e.size(), e.size(), e) == 0) {
        continue;
      }
      if (!text.empty()) text += ", ";
      text += e;
    }
    return text;
  }
};

bool runUntilEnded(const std::shared_ptr<Recorder>& recorder, int ms = 10000) {
  return RunLoop::current().runUntil([&] { return recorder->ended; }, milliseconds(ms));
}

void settle(int ms = 100) {
  RunLoop::current().runUntil([] { return false; }, milliseconds(ms));
}

class URLConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    http.server.Get("/hello", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content("{\"msg\":\"ok\",\"who\":\"" + req.get_header_value("X-Who") + "\"}",
                      "application/json");
    });
    http.server.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("not here", "text/plain");
    });
    http.server.Get("/redirect", [this](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", http.url("/hello"));
      res.set_content("redirect body that must not show", "text/plain");
    });
    http.server.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.method + " " + req.get_header_value("Content-Length") + " " +
                          req.get_header_value("Transfer-Encoding") + "|" + req.body,
                      "text/plain");
    });
    // The request target exactly as it arrived, and a relative redirect.
    http.server.Get("/dir/target", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.target, "text/plain");
    });
    http.server.Get(R"(/many/\d+)", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.target, "text/plain");
    });
    http.server.Get("/dir/go", [](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", "target?moved=1");
    });
    http.server.Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(4 << 20, 'x'), "application/octet-stream");
    });
  }

  HttpTestServer http;
};

TEST_F(URLConnectionTest, GetDeliversResponseBodyAndFinishInOrder) {
  auto recorder = std::make_shared<Recorder>();
  auto request = URLRequest::requestWithURL(http.url("/hello"));
  request.addValue("tester", "X-Who");
  auto connection = URLConnection::connectionWithRequest(request, recorder);
  EXPECT_TRUE(recorder->events.empty());  // nothing from inside the call
  ASSERT_TRUE(runUntilEnded(recorder));
  EXPECT_EQ(recorder->summary(), "response 200, data, finish");
  EXPECT_EQ(recorder->body, "{\"msg\":\"ok\",\"who\":\"tester\"}");
  EXPECT_EQ(recorder->response.expectedContentLength(),
            static_cast<std::int64_t>(recorder->body.size()));
  EXPECT_EQ(recorder->response.valueForHTTPHeaderField("content-type"), "application/json");
  const auto fields = recorder->response.allHeaderFields();
  EXPECT_NE(std::find(fields.begin(), fields.end(),
                      std::pair<std::string, std::string>("Content-Type", "application/json")),
            fields.end());
  EXPECT_FALSE(recorder->wrongThread);
}

// Header lines are kept as one block and split only when asked for.
TEST(URLResponseTest, HeaderLinesAreSplitTrimmedAndLookedUpWithoutCase) {
  const URLResponse response = URLResponse::withHeaderBlock(
      "http://h/x", 200,
      "Content-Type: text/plain\r\n  X-Pad :  a: b \nno colon here\nx-pad: second\nEmpty:\n", 5);
  EXPECT_EQ(response.expectedContentLength(), 5);
  EXPECT_EQ(response.valueForHTTPHeaderField("X-PAD"), "a: b");  // the first one
  EXPECT_EQ(response.valueForHTTPHeaderField("empty"), "");
  EXPECT_EQ(response.valueForHTTPHeaderField("no colon here"), std::nullopt);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Content-Type", "text/plain"}, {"X-Pad", "a: b"}, {"x-pad", "second"}, {"Empty", ""}};
  EXPECT_EQ(response.allHeaderFields(), expected);
  EXPECT_EQ(URLResponse("http://h/x", 200, expected).allHeaderFields(), expected);

  const std::vector<std::pair<std::string, std::int64_t>> lengths = {
      {"12", 12}, {" 12 ", 12}, {"-1", -1}, {"1x", -1}, {"", -1}, {"99999999999999999999", -1}};
  for (const auto& [text, length] : lengths) {
    SCOPED_TRACE(text);
    EXPECT_EQ(URLResponse::parseContentLength(ascii::trim(text)), length);
    EXPECT_EQ(URLResponse("u", 200, {{"Content-Length", text}, {"Content-Length", "7"}})
                  .expectedContentLength(),
              length);
  }
}

TEST_F(URLConnectionTest, StatusesAreReportedNotJudged) {
  auto recorder = std::make_shared<Recorder>();
  auto connection = URLConnection::connectionWithRequest(
      URLRequest::requestWithURL(http.url("/missing")), recorder);
  ASSERT_TRUE(runUntilEnded(recorder));
  EXPECT_EQ(recorder->summary(), "response 404, data, finish");
  EXPECT_EQ(recorder->body, "not here");
}

TEST_F(URLConnectionTest, RedirectIsFollowedAndOnlyTheFinalResponseIsReported) {
  auto recorder = std::make_shared<Recorder>();
  auto connection = URLConnection::connectionWithRequest(
      URLRequest::requestWithURL(http.url("/redirect")), recorder);
  ASSERT_TRUE(runUntilEnded(recorder));
  EXPECT_EQ(recorder->summary(), "response 200, data, finish");
  EXPECT_EQ(recorder->response.URL(), http.url("/hello"));
  EXPECT_EQ(recorder->body.find("redirect body"), std::string::npos);
}

TEST_F(URLConnectionTest, PathAndQueryGoOnTheWireAsWrittenAndRedirectsResolveAgainstThem) {
  struct Case {
    std::string path;      // requested
    std::string target;    // what the server sees
    std::string finalURL;  // the response's URL
  };
  const std::vector<Case> cases = {
      {"/dir/target?oauth_signature=a%2Fb%3D&n=1&x=%7E",
       "/dir/target?oauth_signature=a%2Fb%3D&n=1&x=%7E",
       "/dir/target?oauth_signature=a%2Fb%3D&n=1&x=%7E"},
      {"/dir/target", "/dir/target", "/dir/target"},
      // Dot segments are resolved before sending, as always.
      {"/dir/sub/../target?q=1", "/dir/target?q=1", "/dir/target?q=1"},
      // A relative Location resolves against the path, the query aside.
      {"/dir/go?a=1&b=2", "/dir/target?moved=1", "/dir/target?moved=1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto recorder = std::make_shared<Recorder>();
    auto connection = URLConnection::connectionWithRequest(
        URLRequest::requestWithURL(http.url(c.path)), recorder);
    ASSERT_TRUE(runUntilEnded(recorder));
    EXPECT_EQ(recorder->summary(), "response 200, data, finish");
    EXPECT_EQ(recorder->body, c.target);
    EXPECT_EQ(recorder->response.URL(), http.url(c.finalURL));
  }
}

TEST_F(URLConnectionTest, ReusedTransferHandlesCarryNothingOfTheRequestBefore) {
  // Transfers on one thread reuse finished transfers' handles: a request must
  // go exactly as its own, whatever ran before it (method, body, headers,
  // another transport's connect-to list).
  const std::string mapped = "api.nimbus.test:80:127.0.0.1:" + std::to_string(http.port());
  EnvironmentSettings mapping;
  mapping.connectTo = {mapped};
  const auto viaMapping = Transport::curl(mapping);
  const auto direct = Transport::curl(EnvironmentSettings());

  struct Step {
    std::string name;
    std::string url;
    std::string who;  // X-Who header; empty: none
    bool post = false;
    std::shared_ptr<Transport> transport;
    std::string body;  // expected
  };
  const std::string nobody = "{\"msg\":\"ok\",\"who\":\"\"}";
  const std::vector<Step> steps = {
      {"post with a header", http.url("/echo"), "someone", true, direct, "POST 3 |a=1"},
      {"plain get", http.url("/hello"), "", false, direct, nobody},
      {"get with a header", http.url("/hello"), "tester", false, direct,
       "{\"msg\":\"ok\",\"who\":\"tester\"}"},
      {"plain get again", http.url("/hello"), "", false, direct, nobody},
      {"mapped host", "http://api.nimbus.test/hello", "", false, viaMapping, nobody},
      {"direct after mapped", http.url("/hello"), "", false, direct, nobody},
      {"mapped again", "http://api.nimbus.test/hello", "", false, viaMapping, nobody},
      // Requests with a query hand libcurl a parsed URL besides the text.
      {"get with a query", http.url("/dir/target?a=1"), "", false, direct, "/dir/target?a=1"},
      {"plain get after a query", http.url("/hello"), "", false, direct, nobody},
      {"another path with a query", http.url("/dir/go?b=2"), "", false, direct,
       "/dir/target?moved=1"},
      {"mapped with a query", "http://api.nimbus.test/dir/target?c=3", "", false, viaMapping,
       "/dir/target?c=3"},
      {"the first path again", http.url("/dir/target?d=4"), "", false, direct, "/dir/target?d=4"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    auto recorder = std::make_shared<Recorder>();
    auto request = URLRequest::requestWithURL(step.url);
    if (step.post) {
      request.setHTTPMethod("POST");
      request.setHTTPBody("a=1");
    }
    if (!step.who.empty()) request.addValue(step.who, "X-Who");
    auto connection = URLConnection::connectionWithRequest(request, recorder, step.transport);
    ASSERT_TRUE(runUntilEnded(recorder));
    EXPECT_EQ(recorder->summary(),
              step.post ? "sent, response 200, data, finish" : "response 200, data, finish")
        << recorder->error.description;
    EXPECT_EQ(recorder->body, step.body);
  }
}

TEST_F(URLConnectionTest, ManyDistinctURLsAtOnceEachGoWhereTheyWereSent) {
  // More distinct URLs at once than the engine keeps parsed: entries are
  // dropped while the transfers that use them still run. Twice, so that the
  // second round runs on handles the first one used.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::shared_ptr<Recorder>> recorders;
    std::vector<std::shared_ptr<URLConnection>> connections;
    for (int i = 0; i < 40; ++i) {
      recorders.push_back(std::make_shared<Recorder>());
      const std::string path =
          "/many/" + std::to_string((i * 7 + round) % 40) + "?i=" + std::to_string(i);
      connections.push_back(URLConnection::connectionWithRequest(
          URLRequest::requestWithURL(http.url(path)), recorders.back()));
    }
    for (int i = 0; i < 40; ++i) {
      ASSERT_TRUE(runUntilEnded(recorders[static_cast<std::size_t>(i)]));
      EXPECT_EQ(recorders[static_cast<std::size_t>(i)]->body,
                "/many/" + std::to_string((i * 7 + round) % 40) + "?i=" + std::to_string(i));
    }
  }
}

TEST_F(URLConnectionTest, PostSendsBytesOrStreamedPartsWithContentLengthAndProgress) {
  const auto file =
      std::filesystem::temp_directory_path() / ("nb-body-" + std::to_string(::getpid()) + ".bin");
  // Larger than the transport's send buffer, in a pattern that shows any
  // piece sent twice, skipped or out of order.
  std::string fileBytes(1300001, '\0');
  for (std::size_t i = 0; i < fileBytes.size(); ++i) fileBytes[i] = static_cast<char>('a' + i % 23);
  std::ofstream(file, std::ios::binary) << fileBytes;
  // Bytes held inside another object, sent from there through an alias.
  struct Owner {
    int other = 0;
    std::string bytes = std::string(200000, 's') + std::string("\0\r\n", 3);
  };
  const auto owner = std::make_shared<const Owner>();
  const std::shared_ptr<const std::string> ownedBytes(owner, &owner->bytes);

  struct Case {
    std::string name;
    std::vector<URLRequestBodyPart> parts;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"bytes", {URLRequestBodyPart::bytes("a=1&b=%20")}, "a=1&b=%20"},
      {"empty", {URLRequestBodyPart::bytes("")}, ""},
      {"parts",
       {URLRequestBodyPart::bytes("--head--"), URLRequestBodyPart::file(file.string()),
        URLRequestBodyPart::bytes("--tail--")},
       "--head--" + fileBytes + "--tail--"},
      {"shared",
       {URLRequestBodyPart::bytes("--head--"), URLRequestBodyPart::sharedBytes(ownedBytes),
        URLRequestBodyPart::sharedBytes(nullptr), URLRequestBodyPart::bytes("--tail--")},
       "--head--" + owner->bytes + "--tail--"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto recorder = std::make_shared<Recorder>();
    auto request = URLRequest::requestWithURL(http.url("/echo"));
    request.setHTTPMethod("POST");
    request.setHTTPBodyParts(c.parts);
    request.addValue("application/octet-stream", "Content-Type");
    auto connection = URLConnection::connectionWithRequest(request, recorder);
    // The connection's copy of the request shares the bytes instead of copying them.
    for (std::size_t i = 0; i < c.parts.size(); ++i) {
      EXPECT_EQ(connection->originalRequest().HTTPBodyParts()[i].data, c.parts[i].data);
    }
    ASSERT_TRUE(runUntilEnded(recorder));
    EXPECT_TRUE(recorder->body == "POST " + std::to_string(c.expected.size()) + " |" + c.expected)
        << recorder->body.substr(0, 100);
    EXPECT_EQ(recorder->sentSum, static_cast<std::int64_t>(c.expected.size()));
    if (!c.expected.empty()) {
      EXPECT_EQ(recorder->lastSent, recorder->lastExpected);
      EXPECT_EQ(recorder->summary().rfind("sent, response 200", 0), 0u) << recorder->summary();
    }
  }
  std::filesystem::remove(file);
}

TEST_F(URLConnectionTest, UnreadableBodyFileFailsThroughTheDelegate) {
  auto recorder = std::make_shared<Recorder>();
  auto request = URLRequest::requestWithURL(http.url("/echo"));
  request.setHTTPMethod("POST");
  request.setHTTPBodyParts({URLRequestBodyPart::file("/nonexistent/nb-upload.bin")});
  auto connection = URLConnection::connectionWithRequest(request, recorder);
  EXPECT_TRUE(recorder->events.empty());
  ASSERT_TRUE(runUntilEnded(recorder));
  EXPECT_EQ(recorder->summary(), "fail");
  EXPECT_NE(recorder->error.description.find("/nonexistent/nb-upload.bin"), std::string::npos);
}

TEST_F(URLConnectionTest, TransportFailuresEndWithOneReadableError) {
  RawTestServer resetting([](int fd, const std::atomic<bool>&) {
    RawTestServer::readRequestHead(fd);
    RawTestServer::sendAll(
        fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'x'));
    linger hard{1, 0};  // close with a reset
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  });
  RawTestServer silent([](int fd, const std::atomic<bool>& stopping) {
    RawTestServer::readRequestHead(fd);
    while (!stopping) std::this_thread::sleep_for(milliseconds(10));
  });

  struct Case {
    std::string name;
    std::string url;
    std::string events;
    std::string descriptionPart;
  };
  const std::vector<Case> cases = {
      {"refused", "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/", "fail",
       "connect"},
      {"reset mid-body", resetting.url("/"), "response 200, data, fail", ""},
      {"time-out", silent.url("/"), "fail", "The request timed out."},
      {"bad URL", "http://[::1/", "fail", ""},
      // Far into a long query, where the target is checked a block at a time:
      // such a URL is refused, never sent as written.
      {"space in the query",
       silent.url("/dir/target?oauth_nonce=0123456789ABCDEF&q=a b&oauth_version=1.0"), "fail",
       "URL"},
      {"control byte in the query",
       silent.url("/dir/target?oauth_nonce=0123456789ABCDEF&q=a\x7f&oauth_version=1.0"), "fail",
       "URL"},
      {"unsupported scheme", "ftp://127.0.0.1/", "fail", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto recorder = std::make_shared<Recorder>();
    auto request = URLRequest::requestWithURL(c.url);
    request.setTimeoutInterval(1);
    const auto start = std::chrono::steady_clock::now();
    auto connection = URLConnection::connectionWithRequest(request, recorder);
    ASSERT_TRUE(runUntilEnded(recorder));
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(4000));
    settle(50);
    EXPECT_EQ(recorder->summary(), c.events);
    const auto& text = recorder->error.description;
    EXPECT_EQ(recorder->error.domain, kURLConnectionErrorDomain);
    ASSERT_FALSE(text.empty());
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(text.front()))) << text;
    EXPECT_EQ(text.back(), '.') << text;
    EXPECT_NE(text.find(c.descriptionPart), std::string::npos) << text;
  }
}

TEST_F(URLConnectionTest, TheTimeOutCountsFromTheLastByteNotTheAverageSpeed) {
  // One byte a second is slow but steady: a 1 s time-out must not cut it.
  RawTestServer trickle([](int fd, const std::atomic<bool>& stopping) {
    RawTestServer::readRequestHead(fd);
    RawTestServer::sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n");
    for (const char c : std::string("abc")) {
      for (int i = 0; i < 60 && !stopping; ++i) std::this_thread::sleep_for(milliseconds(10));
      RawTestServer::sendAll(fd, std::string(1, c));
    }
  });
  auto recorder = std::make_shared<Recorder>();
  auto request = URLRequest::requestWithURL(trickle.url("/"));
  request.setTimeoutInterval(1);
  auto connection = URLConnection::connectionWithRequest(request, recorder);
  ASSERT_TRUE(runUntilEnded(recorder));
  EXPECT_EQ(recorder->body, "abc") << recorder->error.description;
}

TEST_F(URLConnectionTest, EachStalledTransferTimesOutOnItsOwnWhileOthersGoOn) {
  const auto stallAfter = [](std::string reply) {
    return [reply](int fd, const std::atomic<bool>& stopping) {
      RawTestServer::readRequestHead(fd);
      if (!reply.empty()) RawTestServer::sendAll(fd, reply);
      while (!stopping) std::this_thread::sleep_for(milliseconds(10));
    };
  };
  // A body that stops half-way; an upload the server stops reading (more than
  // the sockets buffer); a request whose time-out is far longer.
  RawTestServer halfBody(
      stallAfter("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'x')));
  RawTestServer unread(stallAfter(""));
  RawTestServer patient(stallAfter(""));

  const auto start = [](const std::string& url, double timeout, std::string body = "") {
    auto recorder = std::make_shared<Recorder>();
    auto request = URLRequest::requestWithURL(url);
    request.setTimeoutInterval(timeout);
    if (!body.empty()) {
      request.setHTTPMethod("POST");
      request.setHTTPBodyParts({URLRequestBodyPart::bytes(std::move(body))});
    }
    return std::make_pair(recorder, URLConnection::connectionWithRequest(request, recorder));
  };
  const auto began = std::chrono::steady_clock::now();
  const auto [stalledBody, c1] = start(halfBody.url("/"), 1);
  const auto [stalledUpload, c2] = start(unread.url("/"), 1, std::string(32 << 20, 'u'));
  const auto [waiting, c3] = start(patient.url("/"), 30);
  const auto [normal, c4] = start(http.url("/hello"), 1);
  ASSERT_TRUE(RunLoop::current().runUntil(
      [&] { return stalledBody->ended && stalledUpload->ended && normal->ended; },
      milliseconds(10000)));
  EXPECT_LT(std::chrono::steady_clock::now() - began, milliseconds(4000));

  EXPECT_EQ(stalledBody->summary(), "response 200, data, fail");
  EXPECT_EQ(stalledBody->body.size(), 1000u);
  EXPECT_EQ(stalledUpload->summary(), "sent, fail");
  for (const auto& stalled : {stalledBody, stalledUpload}) {
    EXPECT_EQ(stalled->error.code, kURLConnectionErrorTimedOut);
    EXPECT_EQ(stalled->error.description, "The request timed out.");
  }
  EXPECT_EQ(normal->summary(), "response 200, data, finish");
  EXPECT_FALSE(waiting->ended) << waiting->summary();
  c3->cancel();
}

TEST_F(URLConnectionTest, NothingIsCalledAfterCancelAndTheDelegateIsReleased) {
  // Cancel right away, at the response, and in the middle of a 4 MiB body.
  for (const std::string cancelAt : {"", "response", "data"}) {
    SCOPED_TRACE("cancel at '" + cancelAt + "'");
    auto recorder = std::make_shared<Recorder>();
    recorder->cancelAt = cancelAt;
    std::weak_ptr<Recorder> watch = recorder;
    auto connection = URLConnection::connectionWithRequest(
        URLRequest::requestWithURL(http.url("/big")), recorder);
    if (cancelAt.empty()) connection->cancel();
    Recorder* seen = recorder.get();
    recorder.reset();  // the connection holds the only reference now, until cancelled
    if (!cancelAt.empty()) {
      EXPECT_FALSE(watch.expired());
      RunLoop::current().runUntil([&] { return watch.expired(); }, milliseconds(5000));
    }
    EXPECT_TRUE(watch.expired());
    (void)seen;
    settle(100);
    connection->cancel();  // after the end: nothing
  }
}

TEST_F(URLConnectionTest, CancelStopsCallbacksAtOnce) {
  for (const std::string cancelAt : {"response", "data"}) {
    SCOPED_TRACE(cancelAt);
    auto recorder = std::make_shared<Recorder>();
    recorder->cancelAt = cancelAt;
    auto connection = URLConnection::connectionWithRequest(
        URLRequest::requestWithURL(http.url("/big")), recorder);
    RunLoop::current().runUntil([&] { return !recorder->events.empty(); }, milliseconds(5000));
    settle(200);
    EXPECT_EQ(recorder->summary(), cancelAt == "response" ? "response 200" : "response 200, data");
    EXPECT_EQ(recorder->events.back(), cancelAt == "response" ? "response 200" : "data");
    EXPECT_EQ(std::count(recorder->events.begin(), recorder->events.end(), "data"),
              cancelAt == "data" ? 1 : 0);
  }
}

TEST_F(URLConnectionTest, DelegateLivesUntilItsLastCallbackHasReturned) {
  auto recorder = std::make_shared<Recorder>();
  std::weak_ptr<Recorder> watch = recorder;
  auto connection = URLConnection::connectionWithRequest(
      URLRequest::requestWithURL(http.url("/hello")), recorder);
  recorder.reset();
  connection.reset();  // the run loop's transport keeps both alive
  EXPECT_FALSE(watch.expired());
  EXPECT_TRUE(RunLoop::current().runUntil([&] { return watch.expired(); }, milliseconds(5000)));
}

TEST(URLConnectionManyTest, ManyRequestsRunAtOnceOnOneThread) {
  // A plain listener with a deep backlog: the many connections arrive at once.
  RawTestServer server([](int fd, const std::atomic<bool>&) {
    RawTestServer::readRequestHead(fd);
    RawTestServer::sendAll(fd,
                           "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  });
  std::vector<std::shared_ptr<Recorder>> recorders;
  std::vector<std::shared_ptr<URLConnection>> connections;
  for (int i = 0; i < 300; ++i) {
    recorders.push_back(std::make_shared<Recorder>());
    connections.push_back(URLConnection::connectionWithRequest(
        URLRequest::requestWithURL(server.url("/" + std::to_string(i))), recorders.back()));
  }
  const bool allEnded = RunLoop::current().runUntil(
      [&] {
        for (auto& r : recorders) {
          if (!r->ended) return false;
        }
        return true;
      },
      milliseconds(20000));
  std::map<std::string, int> outcomes;
  for (auto& r : recorders) outcomes[r->summary() + " " + r->body + r->error.description]++;
  EXPECT_TRUE(allEnded);
  EXPECT_EQ(outcomes, (std::map<std::string, int>{{"response 200, data, finish ok", 300}}));
}

TEST_F(URLConnectionTest, CallbacksArriveOnTheThreadThatStartedTheRequest) {
  bool ok = false;
  std::thread worker([&] {
    auto recorder = std::make_shared<Recorder>();  // remembers this thread
    auto connection = URLConnection::connectionWithRequest(
        URLRequest::requestWithURL(http.url("/hello")), recorder);
    ok = runUntilEnded(recorder) && !recorder->wrongThread &&
         recorder->summary() == "response 200, data, finish";
  });
  worker.join();
  EXPECT_TRUE(ok);
}

TEST(EnvironmentSettingsTest, ProxyVariablesTheTransportHonoursAreNoticed) {
  // Upper-case HTTP_PROXY is not one: libcurl ignores it (a CGI header could set it).
  struct Case {
    const char* name;
    const char* value;
    bool proxied;
  };
  const std::vector<Case> cases = {
      {"http_proxy", "http://proxy:3128", true},
      {"https_proxy", "http://proxy:3128", true},
      {"HTTPS_PROXY", "http://proxy:3128", true},
      {"all_proxy", "socks5://proxy", true},
      {"ALL_PROXY", "socks5://proxy", true},
      {"HTTP_PROXY", "http://proxy:3128", false},
      {"http_proxy", "", false},
      {"no_proxy", "*", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    static const Case* current;
    current = &c;
    const EnvironmentSettings settings =
        EnvironmentSettings::fromEnvironment([](const char* name) -> const char* {
          return std::string_view(name) == current->name ? current->value : nullptr;
        });
    EXPECT_EQ(settings.proxyFromEnvironment, c.proxied);
  }
}

TEST_F(URLConnectionTest, ConnectToSendsARealHostNameToALocalServer) {
  const std::string entry = "api.nimbus.test:80:127.0.0.1:" + std::to_string(http.port());
  EnvironmentSettings settings;
  settings.connectTo =
      EnvironmentSettings::splitConnectTo(" unrelated.test:80:127.0.0.1:1 , " + entry + ",");
  ASSERT_EQ(settings.connectTo.size(), 2u);
  auto recorder = std::make_shared<Recorder>();
  auto connection = URLConnection::connectionWithRequest(
      URLRequest::requestWithURL("http://api.nimbus.test/hello"), recorder,
      Transport::curl(settings));
  ASSERT_TRUE(runUntilEnded(recorder));
  EXPECT_EQ(recorder->summary(), "response 200, data, finish") << recorder->error.description;
}

}  // namespace
}  // namespace nb

namespace nb {
namespace {

// An HTTPS server for the host api.nimbus.test with a self-signed certificate
// made for the test (openssl command), reached through a connect-to entry.
class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temporary_.ok());
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
        "-subj /CN=api.nimbus.test -addext subjectAltName=DNS:api.nimbus.test -keyout " +
        folder_ + "/key.pem -out " + folder_ + "/cert.pem 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    server_ = std::make_unique<httplib::SSLServer>((folder_ + "/cert.pem").c_str(),
                                                   (folder_ + "/key.pem").c_str());
    server_->set_keep_alive_max_count(1);  // no idle connection holds up stop()
    server_->Get("/hello", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("secure", "text/plain");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(milliseconds(1));
    settings_.connectTo = {"api.nimbus.test:443:127.0.0.1:" + std::to_string(port_)};
  }
  void TearDown() override {
    server_->stop();
    thread_.join();
  }

  test::TemporaryFolder temporary_{"nb-tls"};
  const std::string folder_ = temporary_.path().string();
  std::unique_ptr<httplib::SSLServer> server_;
  int port_ = 0;
  std::thread thread_;
  EnvironmentSettings settings_;
};

TEST_F(TlsTest, CertificateIsVerifiedAgainstTheGivenCAFile) {
  struct Case {
    std::string name;
    std::optional<std::string> caFile;
    std::string events;
  };
  const std::vector<Case> cases = {
      {"trusted through the given CA file", folder_ + "/cert.pem", "response 200, data, finish"},
      {"system roots do not know it", std::nullopt, "fail"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EnvironmentSettings settings = settings_;
    settings.caFile = c.caFile.value_or("");
    auto recorder = std::make_shared<Recorder>();
    auto connection = URLConnection::connectionWithRequest(
        URLRequest::requestWithURL("https://api.nimbus.test/hello"), recorder,
        Transport::curl(settings));
    ASSERT_TRUE(runUntilEnded(recorder));
    EXPECT_EQ(recorder->summary(), c.events) << recorder->error.description;
    if (c.caFile) {
      EXPECT_EQ(recorder->body, "secure");
    }
  }
}

}  // namespace
}  // namespace nb

namespace nb {
namespace {

// The in-memory transport plays scripted replies through a connection exactly
// as the network does: the same events, in the same order, from the run loop.
TEST(MemoryTransportTest, ScriptedRepliesReachTheDelegateAsFromTheNetwork) {
  using Ending = MemoryReply::Ending;
  MemoryReply chunked;
  chunked.status = 206;
  chunked.chunks = {"ab", "", "cd"};
  MemoryReply cut = chunked;
  cut.ending = Ending::kTimeOut;
  struct Case {
    std::string name;
    MemoryReply reply;
    std::string events, body;
    long errorCode;
  };
  const std::vector<Case> cases = {
      {"body in chunks", chunked, "response 206, data, finish", "abcd", 0},
      {"empty body", MemoryReply::withBody(204, ""), "response 204, finish", "", 0},
      {"refused before a response", MemoryReply::failure(Ending::kNetworkFailure, "Refused."),
       "fail", "", 7},
      {"time-out before a response", MemoryReply::failure(Ending::kTimeOut), "fail", "",
       kURLConnectionErrorTimedOut},
      {"time-out inside the body", cut, "response 206, data, fail", "abcd",
       kURLConnectionErrorTimedOut},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto transport = std::make_shared<MemoryTransport>();
    transport->enqueue(c.reply);
    auto recorder = std::make_shared<Recorder>();
    auto connection = URLConnection::connectionWithRequest(
        URLRequest::requestWithURL("http://api.nimbus.test/x"), recorder, transport);
    EXPECT_TRUE(recorder->events.empty()) << "an event came from inside the call";
    ASSERT_TRUE(runUntilEnded(recorder));
    settle(20);
    EXPECT_EQ(recorder->summary(), c.events);
    EXPECT_EQ(recorder->body, c.body);
    if (c.errorCode != 0) {
      EXPECT_EQ(recorder->error.code, c.errorCode);
      EXPECT_EQ(recorder->error.domain, kURLConnectionErrorDomain);
      EXPECT_FALSE(recorder->error.description.empty());
    }
    EXPECT_EQ(transport->running(), 0);
  }
}

TEST(MemoryTransportTest, RecordsRequestsAndReportsTheWholeBodySentBeforeTheReply) {
  test::TemporaryFolder folder("nb-memory-transport");
  const std::string path = (folder.path() / "part").string();
  std::ofstream(path) << "from disk";
  auto transport = std::make_shared<MemoryTransport>();
  transport->setResponder(
      [](const URLRequest& request) { return MemoryReply::withBody(200, request.URL()); });
  URLRequest request = URLRequest::requestWithURL("http://content.nimbus.test/put");
  request.setHTTPMethod("PUT");
  request.setHTTPBodyParts(
      {URLRequestBodyPart::bytes("in memory, "), URLRequestBodyPart::file(path)});
  auto recorder = std::make_shared<Recorder>();
  auto connection = URLConnection::connectionWithRequest(request, recorder, transport);
  ASSERT_TRUE(runUntilEnded(recorder));
  EXPECT_EQ(recorder->summary(), "sent, response 200, data, finish");
  EXPECT_EQ(recorder->lastSent, 20);
  EXPECT_EQ(recorder->lastExpected, 20);
  EXPECT_EQ(recorder->body, "http://content.nimbus.test/put");
  ASSERT_EQ(transport->requests().size(), 1u);
  EXPECT_EQ(transport->requests()[0].HTTPMethod(), "PUT");
  EXPECT_EQ(MemoryTransport::bodyOf(transport->requests()[0]), "in memory, from disk");

  // A body file that is gone fails the request as the network transport does.
  std::filesystem::remove(path);
  auto second = std::make_shared<Recorder>();
  auto again = URLConnection::connectionWithRequest(request, second, transport);
  ASSERT_TRUE(runUntilEnded(second));
  EXPECT_EQ(second->summary(), "fail");
  EXPECT_NE(second->error.description.find(path), std::string::npos);
}

TEST(MemoryTransportTest, CancelStopsEventsAndFreesTheConnection) {
  struct Case {
    std::string name, cancelAt, events;
    MemoryReply reply;
  };
  MemoryReply hanging;
  hanging.chunks = {"first"};
  hanging.ending = MemoryReply::Ending::kNever;
  MemoryReply chunked = MemoryReply::withBody(200, "");
  chunked.chunks = {"1", "2", "3"};
  const std::vector<Case> cases = {
      {"inside the first chunk", "data", "response 200, data", chunked},
      {"inside the response", "response", "response 200", chunked},
      {"a reply that never ends", "", "response 200, data", hanging},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto transport = std::make_shared<MemoryTransport>();
    transport->enqueue(c.reply);
    auto recorder = std::make_shared<Recorder>();
    recorder->cancelAt = c.cancelAt;
    std::weak_ptr<URLConnection> weak = URLConnection::connectionWithRequest(
        URLRequest::requestWithURL("http://api.nimbus.test/x"), recorder, transport);
    // Waits for the events the case cancels at, or (never ending) for all there are.
    RunLoop::current().runUntil(
        [&] {
          return c.cancelAt.empty() ? recorder->events.size() == 2 : transport->running() == 0;
        },
        milliseconds(5000));
    if (c.cancelAt.empty()) {
      EXPECT_EQ(transport->running(), 1);
      ASSERT_FALSE(weak.expired());
      weak.lock()->cancel();
    }
    settle(30);
    EXPECT_EQ(recorder->summary(), c.events);
    EXPECT_EQ(transport->running(), 0);
    EXPECT_TRUE(weak.expired()) << "the transport still holds the connection";
  }
  auto unscripted = std::make_shared<MemoryTransport>();
  auto recorder = std::make_shared<Recorder>();
  auto connection = URLConnection::connectionWithRequest(
      URLRequest::requestWithURL("http://api.nimbus.test/x"), recorder, unscripted);
  ASSERT_TRUE(runUntilEnded(recorder));
  EXPECT_EQ(recorder->summary(), "fail");
}

}  // namespace
}  // namespace nb
