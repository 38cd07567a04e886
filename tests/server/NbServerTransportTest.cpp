// The library's own transport reaches nbserver through the printed
// NB_CONNECT_TO and NB_CA_FILE, over HTTP and HTTPS, with the real host names.
#include <gtest/gtest.h>

#include <chrono>

#include "nb/Private/NSStringHelper.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/URLConnection.h"
#include "tests/server/ServiceClient.h"

namespace nb::test {
namespace {

struct Collector : URLConnectionDelegate {
  int status = 0;
  std::int64_t expected = -2;
  std::string body;
  std::string error;
  bool done = false;
  void connectionDidReceiveResponse(URLConnection*, const URLResponse& response) override {
    status = response.statusCode();
    expected = response.expectedContentLength();
    body.clear();
  }
  void connectionDidReceiveData(URLConnection*, std::string_view chunk) override {
    body.append(chunk);
  }
  void connectionDidFailWithError(URLConnection*, const NBError& e) override {
    error = e.description;
    done = true;
  }
  void connectionDidFinishLoading(URLConnection*) override { done = true; }
};

std::shared_ptr<Collector> fetch(const URLRequest& request) {
  auto collector = std::make_shared<Collector>();
  auto connection = URLConnection::connectionWithRequest(request, collector);
  RunLoop::current().runUntil([&] { return collector->done; }, std::chrono::seconds(20));
  return collector;
}

TEST(NbServerTransportTest, LibraryTransportReachesTheEmulator) {
  NbServerProcess server;
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_TRUE(server.addUser("hana", "hana pass"));
  server.setEnvironment();
  const NBConsumer consumer(server.env("NB_CONSUMER_KEY"), server.env("NB_CONSUMER_SECRET"));

  NBAuthOperationItem item;
  item.consumer = std::make_shared<NBConsumer>(consumer);
  item.userName = "hana";
  item.password = "hana pass";
  item.httpMethod = "POST";
  URLRequest login = URLRequest::requestWithURL(SignatureHelper::getXAuthSignatureUrlString(
      "https://" + ServiceClient::api() + "/open/xAccessToken", item));
  login.setHTTPMethod("POST");
  login.setHTTPBody("x_auth_password=" + NSStringHelper::urlEncodeCovertString(*item.password));
  const auto loggedIn = fetch(login);
  ASSERT_EQ(loggedIn->status, 200) << loggedIn->error << loggedIn->body;
  const NBToken token(jsonField(loggedIn->body, "oauth_token"),
                      jsonField(loggedIn->body, "oauth_token_secret"));

  for (const char* scheme : {"http://", "https://"}) {
    const auto info = fetch(URLRequest::requestWithURL(SignatureHelper::getSignatureUrlString(
        scheme + ServiceClient::api() + "/1/account_info", "GET", consumer, &token, nullptr)));
    EXPECT_EQ(info->status, 200) << scheme << info->error << info->body;
    EXPECT_EQ(jsonField(info->body, "user_name"), "hana") << scheme;
    EXPECT_EQ(info->expected, static_cast<std::int64_t>(info->body.size())) << scheme;
  }
}

}  // namespace
}  // namespace nb::test
