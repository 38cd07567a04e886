// Obtains an access token from a running nbserver with the xAuth login call,
// for end-to-end suites and benchmarks that need a signed-in account, and
// installs it with the consumer in NBAPIInfo. Blocks, running the calling
// thread's run loop, until the reply arrives. Header-only; one thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/SignatureHelper.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/URLConnection.h"

namespace nb::test {

// Signs `user` in under the consumer (key, secret) and installs both in
// NBAPIInfo. Returns an empty string on success, else the reason.
inline std::string installAccessToken(const std::string& consumerKey,
                                      const std::string& consumerSecret, const std::string& user,
                                      const std::string& password) {
  struct Collector : URLConnectionDelegate {
    int status = 0;
    std::string body, error;
    bool done = false;
    void connectionDidReceiveResponse(URLConnection*, const URLResponse& r) override {
      status = r.statusCode();
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

  auto consumer = std::make_shared<NBConsumer>(consumerKey, consumerSecret);
  NBAuthOperationItem item;
  item.consumer = consumer;
  item.userName = user;
  item.password = password;
  item.httpMethod = "POST";
  URLRequest request = URLRequest::requestWithURL(SignatureHelper::getXAuthSignatureUrlString(
      "https://" + NBHosts::apiHost() + "/open/xAccessToken", item));
  request.setHTTPMethod("POST");
  request.setHTTPBody("x_auth_password=" + NSStringHelper::urlEncodeCovertString(password));
  auto collector = std::make_shared<Collector>();
  auto connection = URLConnection::connectionWithRequest(request, collector);
  if (!RunLoop::current().runUntil([&] { return collector->done; }, std::chrono::seconds(30))) {
    connection->cancel();
    return "the login call did not finish in 30 s";
  }
  if (!collector->error.empty()) return "login: " + collector->error;
  const auto reply = NBJsonUtility::jsonValueFromString(collector->body);
  const JsonValue* token = reply ? reply->find("oauth_token") : nullptr;
  const JsonValue* secret = reply ? reply->find("oauth_token_secret") : nullptr;
  if (token == nullptr || secret == nullptr || !token->isString() || !secret->isString()) {
    return "login: status " + std::to_string(collector->status) + ", reply " + collector->body;
  }
  NBAPIInfo& info = NBAPIInfo::instance();
  info.setConsumer(consumer);
  info.setToken(std::make_shared<NBToken>(std::string(token->stringValue()),
                                          std::string(secret->stringValue())));
  return "";
}

}  // namespace nb::test
