// nbserver facing what an attacker or a broken client sends: bodies that never
// end, clients that trickle, stale references, guessed codes, repeated or
// overlong protocol parameters, uploads too large for their account, and names
// that no entry may have. Each refusal must come at once, with the keyword of
// its cause, and leave nothing behind.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "nb/Private/NSStringHelper.h"
#include "tests/server/ServiceClient.h"
#include "tests/server/ServiceTest.h"

namespace nb::test {
namespace {

using Clock = std::chrono::steady_clock;

// One plain TCP connection to the server, for requests no well-behaved client
// would send.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawConnection() { close(fd_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return connected_; }
  // Sends `bytes` without blocking longer than `timeout` in all; how many of
  // them the server took before it stopped reading or closed.
  std::size_t sendFor(const std::string& bytes, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n =
          ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd_, POLLOUT, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    }
    return sent;
  }
  // True when the server closes the connection within `timeout` (what it
  // sends before that is read and dropped).
  bool closedWithin(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[4096];
      if (recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
    }
  }
  bool send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // The next reply, read for at most `timeout`; status 0 when none came.
  Reply reply(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    const auto deadline = Clock::now() + timeout;
    std::string& data = pending_;
    Reply reply;
    for (;;) {
      const auto head = data.find("\r\n\r\n");
      if (head != std::string::npos) {
        const auto length = data.find("Content-Length: ");
        const std::size_t want =
            length == std::string::npos ? 0 : std::stoul(data.substr(length + 16));
        if (data.size() >= head + 4 + want) {
          reply.status = std::stoi(data.substr(9, 3));
          reply.body = data.substr(head + 4, want);
          reply.headers.emplace("raw", data.substr(0, head));
          data.erase(0, head + 4 + want);
          return reply;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return reply;
      char buffer[65536];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return reply;
      data.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_;
  bool connected_ = false;
  std::string pending_;  // read past the last reply returned
};

std::size_t filesUnder(const std::string& folder) {
  std::size_t count = 0;
  std::error_code ec;
  for (const auto& item : std::filesystem::recursive_directory_iterator(folder, ec)) {
    if (item.is_regular_file()) ++count;
  }
  return count;
}

class NbServerHostileInputTest : public ServiceTest {
 protected:
  std::string download(const NBToken& token, const std::string& path) {
    const Reply reply =
        client_->signedGet("http://" + ServiceClient::content() + "/1/fileops/download_file",
                           &token, {{"root", "app"}, {"path", path}});
    return reply.status == 200 ? reply.body : "(" + std::to_string(reply.status) + ")";
  }
  // The request line and headers of a signed upload of `path`, up to the
  // blank line; `headers` end with "\r\n" each.
  std::string uploadHead(const NBToken& token, const std::string& path,
                         const std::string& headers) {
    const NBParameters params{{"root", "app"}, {"path", path}, {"overwrite", "False"}};
    const std::string url = SignatureHelper::getSignatureUrlString(
        "http://" + ServiceClient::content() + "/1/fileops/upload_file", "POST",
        client_->consumer(), &token, &params);
    return "POST " + url.substr(url.find("/1/")) +
           " HTTP/1.1\r\nHost: " + ServiceClient::content() + "\r\n" + headers + "\r\n";
  }
};

TEST_F(NbServerHostileInputTest, BodiesAreCappedExceptForUploads) {
  const std::string api = ServiceClient::api();
  const std::string web = ServiceClient::web();
  struct Case {
    const char* what;
    std::string head;
    std::string body;
    int status = 413;
    const char* keyword = "request too large";
  } cases[] = {
      {"declared 1 GB login form",
       "POST /open/xAccessToken HTTP/1.1\r\nHost: " + api +
           "\r\nContent-Type: text/plain\r\nContent-Length: 1000000000\r\n\r\n",
       "x"},
      {"chunked registration form",
       "POST /open/register HTTP/1.1\r\nHost: " + api + "\r\nTransfer-Encoding: chunked\r\n\r\n",
       "10000\r\n" + std::string(0x10000, 'a') + "\r\n10000\r\n" + std::string(0x10000, 'a') +
           "\r\n0\r\n\r\n"},
      {"web page form",
       "POST /api.php?ac=open&op=authorise&oauth_token=x HTTP/1.1\r\nHost: " + web +
           "\r\nContent-Length: 500000000\r\n\r\n",
       ""},
      {"body on a GET",
       "GET /1/account_info HTTP/1.1\r\nHost: " + api + "\r\nContent-Length: 500000000\r\n\r\n",
       ""},
      {"post to no route",
       "POST /nowhere HTTP/1.1\r\nHost: " + api + "\r\nContent-Length: 500000000\r\n\r\n", ""},
      {"upload sent to the API host",
       "POST /1/fileops/upload_file HTTP/1.1\r\nHost: " + api +
           "\r\nContent-Length: 500000000\r\n\r\n",
       "", 404, "no such api implemented"},
  };
  for (const auto& c : cases) {
    RawConnection connection(server_->httpPort());
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.send(c.head + c.body));
    const Reply reply = connection.reply();
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(jsonField(reply.body, "msg"), c.keyword) << c.what;
  }
  // A form within the limit still works.
  EXPECT_EQ(client_->login("carol", "carol-pass").status, 200);
}

// Framing that two readers of the same bytes could take apart differently is
// refused, and the connection closes: whatever follows the header (here a
// signed upload of an empty file) is never run as a request of its own.
TEST_F(NbServerHostileInputTest, AmbiguousFramingIsRefusedAndClosesTheConnection) {
  const NBToken carol = client_->loginToken("carol", "carol-pass");
  const std::string smuggled = uploadHead(
      carol, "/smuggled.bin", "Content-Type: application/octet-stream\r\nContent-Length: 0\r\n");
  const std::string post = "POST /open/xAccessToken HTTP/1.1\r\nHost: " + ServiceClient::api() +
                           "\r\nContent-Type: application/x-www-form-urlencoded\r\n";
  const std::string length = "Content-Length: " + std::to_string(smuggled.size()) + "\r\n";
  struct Case {
    const char* what;
    std::string head;
    int status;
  } cases[] = {
      {"unknown coding", post + "Transfer-Encoding: xchunked\r\n", 400},
      {"chunked not last", post + "Transfer-Encoding: chunked, identity\r\n", 400},
      {"identity", post + "Transfer-Encoding: identity\r\n", 400},
      {"chunked twice", post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", 400},
      {"coding we do not decode", post + "Transfer-Encoding: gzip, chunked\r\n", 501},
      {"identity with a length", post + "Transfer-Encoding: identity\r\n" + length, 400},
      {"length then chunked", post + length + "Transfer-Encoding: chunked\r\n", 400},
      {"chunked then length", post + "Transfer-Encoding: chunked\r\n" + length, 400},
      {"two lengths", post + length + "Content-Length: 1\r\n", 400},
      {"two Host fields",
       "GET /open/requestToken HTTP/1.1\r\nHost: " + ServiceClient::api() +
           "\r\nHost: " + ServiceClient::web() + "\r\n",
       400},
  };
  for (const auto& c : cases) {
    RawConnection connection(server_->httpPort());
    ASSERT_TRUE(connection.send(c.head + "\r\n" + smuggled));
    const Reply reply = connection.reply();
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_NE(reply.header("raw").find("Connection: close"), std::string::npos) << c.what;
    EXPECT_EQ(connection.reply(std::chrono::milliseconds(200)).status, 0) << c.what;
    EXPECT_TRUE(connection.closedWithin(std::chrono::milliseconds(3000))) << c.what;
  }
  EXPECT_EQ(download(carol, "/smuggled.bin"), "(404)");
}

// A trailer field longer than any header may be is a refusal of that request
// alone; the server goes on.
TEST_F(NbServerHostileInputTest, AnOverlongTrailerIsRefusedAndTheServerGoesOn) {
  const NBToken carol = client_->loginToken("carol", "carol-pass");
  const std::string chunked = "Transfer-Encoding: chunked\r\n";
  const std::string trailer = "0\r\nX-Trailer: " + std::string(70000, 't') + "\r\n\r\n";
  struct Case {
    const char* what;
    std::string request;
    int status;  // 0: any refusal
  } cases[] = {
      {"login form",
       "POST /open/xAccessToken HTTP/1.1\r\nHost: " + ServiceClient::api() +
           "\r\nContent-Type: application/x-www-form-urlencoded\r\n" + chunked +
           "\r\n5\r\nx_a=b\r\n" + trailer,
       431},
      {"signed upload",
       uploadHead(carol, "/trailer.bin", "Content-Type: application/octet-stream\r\n" + chunked) +
           "5\r\nabcde\r\n" + trailer,
       431},
      {"unsigned upload",
       "POST /1/fileops/upload_file?root=app&path=/t.bin HTTP/1.1\r\nHost: " +
           ServiceClient::content() + "\r\n" + chunked + "\r\n5\r\nabcde\r\n" + trailer,
       0},
      {"many short trailer fields",
       "POST /open/xAccessToken HTTP/1.1\r\nHost: " + ServiceClient::api() + "\r\n" + chunked +
           "\r\n5\r\nx_a=b\r\n0\r\n" +
           [] {
             std::string fields;
             for (int i = 0; i < 10000; ++i) fields += "X-" + std::to_string(i) + ": v\r\n";
             return fields;
           }() +
           "\r\n",
       431},
  };
  for (const auto& c : cases) {
    RawConnection connection(server_->httpPort());
    connection.sendFor(c.request, std::chrono::milliseconds(3000));
    const Reply reply = connection.reply();
    if (c.status != 0) {
      EXPECT_EQ(reply.status, c.status) << c.what;
    } else {
      EXPECT_GE(reply.status, 400) << c.what;
    }
    EXPECT_TRUE(connection.closedWithin(std::chrono::milliseconds(3000))) << c.what;
  }
  EXPECT_EQ(download(carol, "/trailer.bin"), "(404)");
  EXPECT_EQ(client_->login("carol", "carol-pass").status, 200);
}

TEST_F(NbServerHostileInputTest, TricklingClientsDoNotStopTheListener) {
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int i = 0; i < 100; ++i) {
    slow.push_back(std::make_unique<RawConnection>(server_->httpPort()));
    ASSERT_TRUE(slow.back()->send("G"));
  }
  for (auto& connection : slow) connection->send("E");
  const auto start = Clock::now();
  const Reply reply = client_->signedGet(api("/open/requestToken"), nullptr);
  EXPECT_EQ(reply.status, 200) << reply.body;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST_F(NbServerHostileInputTest, CopyReferencesAndShareLinksFollowTheirEntry) {
  const NBToken carol = client_->loginToken("carol", "carol-pass");
  const NBToken dave = client_->loginToken("dave", "dave-pass");
  ASSERT_EQ(client_->upload(carol, "/pub.txt", "public v1", false).status, 200);
  const Reply ref = call(carol, "/1/copy_ref/app/pub.txt", {{"root", "app"}, {"path", "/pub.txt"}});
  const Reply share = call(carol, "/1/shares/app/pub.txt", {{"root", "app"}, {"path", "/pub.txt"}});
  ASSERT_EQ(ref.status, 200);
  ASSERT_EQ(share.status, 200);
  const std::string copyRef = *jsonField(ref.body, "copy_ref");
  const std::string link =
      "https://" + ServiceClient::web() + "/s/" + *jsonField(share.body, "share_id");
  const auto copyTo = [&](const std::string& to) {
    return call(dave, "/1/fileops/copy",
                {{"root", "app"}, {"from_copy_ref", copyRef}, {"to_path", to}});
  };

  // An overwrite keeps the link; the reference hands out what it was made for.
  ASSERT_EQ(client_->upload(carol, "/pub.txt", "public v2", true).status, 200);
  EXPECT_EQ(client_->send("GET", link).body, "public v2");
  ASSERT_EQ(copyTo("/v1.txt").status, 200);
  EXPECT_EQ(download(dave, "/v1.txt"), "public v1");

  // Deleted and replaced by private content at the same path: both are dead.
  ASSERT_EQ(call(carol, "/1/fileops/delete", {{"root", "app"}, {"path", "/pub.txt"}}).status, 200);
  ASSERT_EQ(client_->upload(carol, "/pub.txt", "private", false).status, 200);
  const Reply copied = copyTo("/after.txt");
  EXPECT_EQ(copied.status, 404) << copied.body;
  EXPECT_EQ(jsonField(copied.body, "msg"), "file not exist");
  const Reply page = client_->send("GET", link);
  EXPECT_EQ(page.status, 404);
  EXPECT_EQ(page.body.find("private"), std::string::npos);

  // Moving a shared file away ends its link too.
  ASSERT_EQ(client_->upload(carol, "/moving.txt", "m", false).status, 200);
  const Reply moving =
      call(carol, "/1/shares/app/moving.txt", {{"root", "app"}, {"path", "/moving.txt"}});
  const std::string movingLink =
      "https://" + ServiceClient::web() + "/s/" + *jsonField(moving.body, "share_id");
  EXPECT_EQ(client_->send("GET", movingLink).status, 200);
  ASSERT_EQ(call(carol, "/1/fileops/move",
                 {{"root", "app"}, {"from_path", "/moving.txt"}, {"to_path", "/moved.txt"}})
                .status,
            200);
  ASSERT_EQ(client_->upload(carol, "/moving.txt", "other", false).status, 200);
  EXPECT_EQ(client_->send("GET", movingLink).status, 404);
}

TEST_F(NbServerHostileInputTest, AccessCodeGuessesAreLimitedPerLink) {
  const NBToken carol = client_->loginToken("carol", "carol-pass");
  ASSERT_EQ(client_->upload(carol, "/coded.txt", "secret", false).status, 200);
  const Reply share = call(carol, "/1/shares/app/coded.txt",
                           {{"root", "app"}, {"path", "/coded.txt"}, {"access_code", "4821"}});
  const std::string link =
      "https://" + ServiceClient::web() + "/s/" + *jsonField(share.body, "share_id");
  EXPECT_EQ(client_->send("GET", link + "?access_code=4821").body, "secret");
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(client_->send("GET", link + "?access_code=" + std::to_string(1000 + i)).status, 403);
  }
  const Reply locked = client_->send("GET", link + "?access_code=4821");
  EXPECT_EQ(locked.status, 429) << "even the right code waits once the guesses are spent";
  EXPECT_EQ(locked.body.find("secret"), std::string::npos);
}

TEST_F(NbServerHostileInputTest, ProtocolParametersComeOnceAndShort) {
  const NBToken carol = client_->loginToken("carol", "carol-pass");
  const std::string signedUrl = SignatureHelper::getSignatureUrlString(
      api("/1/account_info"), "GET", client_->consumer(), &carol, nullptr);
  const std::string query = signedUrl.substr(signedUrl.find('?') + 1);
  // The same OAuth parameters as an Authorization header.
  std::string header = "OAuth ";
  for (std::size_t at = 0; at < query.size();) {
    const auto end = std::min(query.find('&', at), query.size());
    const std::string pair = query.substr(at, end - at);
    const auto eq = pair.find('=');
    if (header.size() > 6) header += ", ";
    header += pair.substr(0, eq) + "=\"" + pair.substr(eq + 1) + "\"";
    at = end + 1;
  }
  ASSERT_EQ(client_->send("GET", signedUrl).status, 200) << "the plain request is good";

  struct Case {
    const char* what;
    std::string url;
    std::string authorization;
  } cases[] = {
      {"token twice", signedUrl + "&oauth_token=" + *carol.token, ""},
      {"same set in header and query", signedUrl, header},
      {"another set in the header", api("/1/account_info"), header + ", oauth_nonce=\"x\""},
      {"5000-byte nonce",
       api("/1/account_info?oauth_consumer_key=") + client_->consumer().key.value_or("") +
           "&oauth_nonce=" + std::string(5000, 'n') +
           "&oauth_signature_method=HMAC-SHA1&oauth_timestamp=1&oauth_signature=x",
       ""},
  };
  for (const auto& c : cases) {
    httplib::Headers extra;
    if (!c.authorization.empty()) extra.emplace("Authorization", c.authorization);
    const Reply reply = client_->send("GET", c.url, "", extra);
    EXPECT_EQ(reply.status, 400) << c.what << ": " << reply.body;
    EXPECT_EQ(jsonField(reply.body, "msg"), "bad request") << c.what;
  }
}

TEST_F(NbServerHostileInputTest, UploadsAreJudgedByTheirHeadersAndKeepNoRefusedBlob) {
  const NBToken tiny = client_->loginToken("tiny", "tiny-pass");
  ASSERT_EQ(client_->upload(tiny, "/base.bin", std::string(500, 'b'), false).status, 200);
  const std::string blobs = server_->dataFolder() + "/blobs";
  const std::size_t stored = filesUnder(blobs);
  const std::string type = "Content-Type: application/octet-stream\r\n";
  struct Case {
    const char* what;
    std::string head;
    int status;
    const char* keyword;
  } cases[] = {
      {"2 GiB declared", uploadHead(tiny, "/big.bin", type + "Content-Length: 2147483648\r\n"), 413,
       "file too large"},
      {"over the quota", uploadHead(tiny, "/big.bin", type + "Content-Length: 500\r\n"), 507,
       "over space"},
      {"asks to continue",
       uploadHead(tiny, "/big.bin",
                  type + "Content-Length: 2147483648\r\nExpect: 100-continue\r\n"),
       413, "file too large"},
  };
  for (const auto& c : cases) {
    RawConnection connection(server_->httpPort());
    ASSERT_TRUE(connection.send(c.head));  // and no body at all
    const Reply reply = connection.reply();
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(jsonField(reply.body, "msg"), c.keyword) << c.what;
  }

  // Without a declared length the body is read, and refused after: its blob
  // is not kept.
  RawConnection chunked(server_->httpPort());
  ASSERT_TRUE(
      chunked.send(uploadHead(tiny, "/chunked.bin", type + "Transfer-Encoding: chunked\r\n") +
                   "1f4\r\n" + std::string(500, 'c') + "\r\n0\r\n\r\n"));
  const Reply overSpace = chunked.reply();
  EXPECT_EQ(overSpace.status, 507);
  EXPECT_EQ(jsonField(overSpace.body, "msg"), "over space");
  EXPECT_EQ(filesUnder(blobs), stored) << "a refused upload leaves no blob";
  EXPECT_EQ(filesUnder(server_->dataFolder() + "/tmp"), 0u);
}

TEST_F(NbServerHostileInputTest, RefusalsNameTheirCause) {
  const NBToken carol = client_->loginToken("carol", "carol-pass");
  ASSERT_EQ(call(carol, "/1/fileops/create_folder", {{"root", "app"}, {"path", "/kw"}}).status,
            200);
  ASSERT_EQ(client_->upload(carol, "/kw/a.txt", "text", false).status, 200);
  const std::string longName = "/" + std::string(256, 'n');
  struct Case {
    const char* what;
    std::string path;
    NBParameters params;
    int status;
    const char* keyword;
  } cases[] = {
      {"name over 255 bytes",
       "/1/fileops/create_folder",
       {{"path", longName}},
       400,
       "bad parameters"},
      {"control character",
       "/1/fileops/create_folder",
       {{"path", "/a\x01"}},
       400,
       "bad parameters"},
      {"climbs out", "/1/fileops/create_folder", {{"path", "/../x"}}, 400, "bad parameters"},
      {"DEL", "/1/fileops/create_folder", {{"path", "/a\x7f"}}, 400, "bad parameters"},
      {"invalid UTF-8", "/1/fileops/create_folder", {{"path", "/a\xff"}}, 400, "bad parameters"},
      {"truncated UTF-8 as a target",
       "/1/fileops/move",
       {{"from_path", "/kw/a.txt"}, {"to_path", "/\xc3"}},
       400,
       "bad parameters"},
      {"DEL in the URL's path", "/1/metadata/app/a%7F", {}, 400, "bad parameters"},
      {"invalid UTF-8 in the URL's path", "/1/shares/app/a%FF", {}, 400, "bad parameters"},
      {"move onto itself",
       "/1/fileops/move",
       {{"from_path", "/kw/a.txt"}, {"to_path", "/kw/a.txt"}},
       403,
       "file exist"},
      {"folder onto itself",
       "/1/fileops/move",
       {{"from_path", "/kw"}, {"to_path", "/kw"}},
       403,
       "file exist"},
      {"folder into itself",
       "/1/fileops/move",
       {{"from_path", "/kw"}, {"to_path", "/kw/in"}},
       403,
       "forbidden"},
      {"history of a folder", "/1/history/app/kw", {{"path", "/kw"}}, 400, "bad parameters"},
  };
  for (auto c : cases) {
    if (!c.params.empty()) c.params.emplace("root", "app");
    const Reply reply = call(carol, c.path, c.params);
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    EXPECT_EQ(jsonField(reply.body, "msg"), c.keyword) << c.what;
  }
  for (const std::string& bad : {longName, std::string("/a\x01"), std::string("/../x"),
                                 std::string("/a\x7f"), std::string("/a\xff")}) {
    const Reply reply = client_->upload(carol, bad, "x", false);
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(jsonField(reply.body, "msg"), "bad parameters");
  }
}

// The resident memory of the server serving `dataFolder`, in KiB (0 when
// it cannot be found).
std::size_t serverMemoryKiB(const std::string& dataFolder) {
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator("/proc", ec)) {
    std::ifstream cmdline(item.path() / "cmdline");
    std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    if (args.find("nbserver") == std::string::npos || args.find(dataFolder) == std::string::npos ||
        args.find("user") != std::string::npos) {
      continue;
    }
    std::ifstream status(item.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
    }
  }
  return 0;
}

TEST_F(NbServerHostileInputTest, AnUploadBodyEndsAtItsDeclaredLength) {
  const NBToken carol = client_->loginToken("carol", "carol-pass");
  const auto upload = [&](const std::string& path, const std::string& body) {
    return uploadHead(carol, path,
                      "Content-Type: application/octet-stream\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n") +
           body;
  };
  const std::string first(300000, '1'), second(70000, '2');

  // Uploads sent back to back in one send: each request starts right after
  // the previous body's last byte, whether that body is large or came whole
  // with its header.
  {
    const std::string third(10, '3'), fourth(20, '4');
    RawConnection connection(server_->httpPort());
    ASSERT_TRUE(connection.send(upload("/first.bin", first) + upload("/second.bin", second) +
                                upload("/third.bin", third) + upload("/fourth.bin", fourth)));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(connection.reply().status, 200) << i;
    EXPECT_EQ(download(carol, "/first.bin"), first);
    EXPECT_EQ(download(carol, "/second.bin"), second);
    EXPECT_EQ(download(carol, "/third.bin"), third);
    EXPECT_EQ(download(carol, "/fourth.bin"), fourth);
  }
  // A body that comes in parts, with pauses between them.
  {
    RawConnection connection(server_->httpPort());
    const std::string whole = upload("/parts.bin", first);
    for (std::size_t at = 0; at < whole.size(); at += 100000) {
      ASSERT_TRUE(connection.send(whole.substr(at, 100000)));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(connection.reply().status, 200);
    EXPECT_EQ(download(carol, "/parts.bin"), first);
  }
  // A client that leaves halfway: nothing is stored, and nothing is left in tmp/.
  {
    RawConnection connection(server_->httpPort());
    ASSERT_TRUE(connection.send(upload("/half.bin", first).substr(0, 150000)));
  }
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (filesUnder(server_->dataFolder() + "/tmp") != 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(filesUnder(server_->dataFolder() + "/tmp"), 0u);
  EXPECT_EQ(download(carol, "/half.bin"), "(404)");
}

// Old versions are bounded beside the quota: a count per file and a time
// after deletion (here 2 and none), and their blobs go with them unless a
// live copy reference still hands one out.
TEST(NbServerRetentionTest, OldVersionsAndDeletedFilesArePrunedWithTheirBlobs) {
  NbServerProcess server({"--versions-kept", "2", "--deleted-retention-days", "0"});
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_TRUE(server.addUser("ida", "ida-pass", {"--quota", "1000"}));
  ServiceClient client(server);
  const NBToken ida = client.loginToken("ida", "ida-pass");
  const std::string api = "http://" + ServiceClient::api();
  const std::string blobs = server.dataFolder() + "/blobs";

  ASSERT_EQ(client.upload(ida, "/f.txt", "version 1", false).status, 200);
  const Reply ref =
      client.signedGet(api + "/1/copy_ref/app/f.txt", &ida, {{"root", "app"}, {"path", "/f.txt"}});
  ASSERT_EQ(ref.status, 200);
  for (int i = 2; i <= 6; ++i) {
    ASSERT_EQ(client.upload(ida, "/f.txt", "version " + std::to_string(i), true).status, 200);
  }
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(client.upload(ida, "/gone.txt", "cycle " + std::to_string(i), false).status, 200);
    ASSERT_EQ(
        client.signedGet(api + "/1/fileops/delete", &ida, {{"root", "app"}, {"path", "/gone.txt"}})
            .status,
        200);
  }
  const Reply history =
      client.signedGet(api + "/1/history/app/f.txt", &ida, {{"root", "app"}, {"path", "/f.txt"}});
  EXPECT_EQ(jsonFields(history.body, "rev").size(), 2u) << history.body;
  // Versions 5 and 6, and version 1 that the copy reference holds.
  EXPECT_EQ(filesUnder(blobs), 3u);
  ASSERT_EQ(client
                .signedGet(api + "/1/fileops/copy", &ida,
                           {{"root", "app"},
                            {"from_copy_ref", *jsonField(ref.body, "copy_ref")},
                            {"to_path", "/from-ref.txt"}})
                .status,
            200);
  const auto content = [&](const std::string& path) {
    return client
        .signedGet("http://" + ServiceClient::content() + "/1/fileops/download_file", &ida,
                   {{"root", "app"}, {"path", path}})
        .body;
  };
  EXPECT_EQ(content("/f.txt"), "version 6");
  EXPECT_EQ(content("/from-ref.txt"), "version 1");
}

// The limits that hold each connection, on a server started with small ones.
class NbServerConnectionLimitsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new NbServerProcess({"--max-connections-per-address", "8", "--header-timeout", "1"});
    ASSERT_TRUE(server_->ok()) << server_->error();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(server_, nullptr); }
  static std::string request() {
    return "GET /open/requestToken HTTP/1.1\r\nHost: " + ServiceClient::api() + "\r\n\r\n";
  }
  static NbServerProcess* server_;
};

NbServerProcess* NbServerConnectionLimitsTest::server_ = nullptr;

TEST_F(NbServerConnectionLimitsTest, AHeaderHasOneDeadlineNotOnePerByte) {
  // A byte every 100 ms: each well within any per-read time-out, the whole
  // header far past the 1 s deadline.
  RawConnection slow(server_->httpPort());
  ASSERT_TRUE(slow.connected());
  const std::string header = request();
  const auto start = Clock::now();
  bool cut = false;
  for (std::size_t i = 0; i < header.size() - 1 && !cut; ++i) {
    if (slow.sendFor(header.substr(i, 1), std::chrono::milliseconds(500)) != 1) break;
    cut = slow.closedWithin(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(cut || slow.closedWithin(std::chrono::milliseconds(500)));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  // A prompt client on the same address is served.
  RawConnection prompt(server_->httpPort());
  ASSERT_TRUE(prompt.send(request()));
  EXPECT_EQ(prompt.reply().status, 400);  // unsigned: refused by the service, not the transport
}

TEST_F(NbServerConnectionLimitsTest, ConnectionsFromOneAddressAreBounded) {
  // A server of its own: the suite's may still count connections that the
  // tests before closed, and so admit one more than this test holds.
  NbServerProcess server({"--max-connections-per-address", "8"});
  ASSERT_TRUE(server.ok()) << server.error();
  std::vector<std::unique_ptr<RawConnection>> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(std::make_unique<RawConnection>(server.httpPort()));
    ASSERT_TRUE(held.back()->connected());
    ASSERT_TRUE(held.back()->send("G"));
  }
  {
    RawConnection extra(server.httpPort());
    ASSERT_TRUE(extra.connected());
    extra.send(request());
    const Reply reply = extra.reply();
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(jsonField(reply.body, "msg"), "too many connections");
  }
  // Once one of them goes, the address may connect again.
  held.pop_back();
  int status = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (status != 400 && Clock::now() < deadline) {
    RawConnection again(server.httpPort());
    again.send(request());
    status = again.reply().status;
  }
  EXPECT_EQ(status, 400);
}

TEST_F(NbServerConnectionLimitsTest, AnUnendingLineIsCutOffAndTakesNoMemory) {
  struct Case {
    const char* what;
    std::string head;
  } cases[] = {
      {"request line", "GET /"},
      {"header line",
       "GET /open/requestToken HTTP/1.1\r\nHost: " + ServiceClient::api() + "\r\nX-Filler: "},
  };
  const std::string filler(1 << 20, 'a');
  for (const auto& c : cases) {
    const std::size_t before = serverMemoryKiB(server_->dataFolder());
    ASSERT_GT(before, 0u);
    RawConnection connection(server_->httpPort());
    ASSERT_TRUE(connection.connected());
    std::size_t sent = connection.sendFor(c.head, std::chrono::milliseconds(1000));
    for (int i = 0; i < 64 && sent == c.head.size() + i * filler.size(); ++i) {
      sent += connection.sendFor(filler, std::chrono::milliseconds(1000));
    }
    // The server stopped reading long before 64 MiB, refused the request and
    // closed; its memory stayed where it was.
    EXPECT_LT(sent, 16u << 20) << c.what;
    const Reply reply = connection.reply();
    EXPECT_TRUE(reply.status == 431 || reply.status == 0) << c.what << ": " << reply.status;
    EXPECT_TRUE(connection.closedWithin(std::chrono::milliseconds(3000))) << c.what;
    EXPECT_LT(serverMemoryKiB(server_->dataFolder()), before + 16 * 1024) << c.what;
  }
}

TEST(NbServerStopTest, StopEndsAnUploadThatIsStillComing) {
  NbServerProcess server;
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_TRUE(server.addUser("erin", "erin-pass"));
  ServiceClient client(server);
  const NBToken token = client.loginToken("erin", "erin-pass");
  const NBParameters params{{"root", "app"}, {"path", "/slow.bin"}};
  const std::string url = SignatureHelper::getSignatureUrlString(
      "http://" + ServiceClient::content() + "/1/fileops/upload_file", "POST", client.consumer(),
      &token, &params);
  RawConnection upload(server.httpPort());
  ASSERT_TRUE(upload.send("POST " + url.substr(url.find("/1/")) + " HTTP/1.1\r\nHost: " +
                          ServiceClient::content() +
                          "\r\nContent-Type: application/octet-stream\r\n"
                          "Content-Length: 1000000\r\n\r\n" +
                          std::string(200000, 'x')));
  // The rest of the body never comes: stopping does not wait for the stall
  // limit (30 s) or the bound on busy requests (10 s).
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = Clock::now();
  server.stop(SIGTERM);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(upload.closedWithin(std::chrono::milliseconds(1000)));
}

}  // namespace
}  // namespace nb::test
