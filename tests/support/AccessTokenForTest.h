// Signs an account in on a running nbserver with the library's own login call
// and installs the access token with the consumer in NBAPIInfo, for end-to-end
// suites and benchmarks. Blocks, running the calling thread's run loop, until
// the outcome arrives. Header-only; one thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBAuthOperationItem.h"
#include "nb/operations/NBXAuthOperation.h"
#include "nb/platform/RunLoop.h"

namespace nb::test {

// Signs `user` in under the consumer (key, secret) and installs both in
// NBAPIInfo. Returns an empty string on success, else the reason.
inline std::string installAccessToken(const std::string& consumerKey,
                                      const std::string& consumerSecret, const std::string& user,
                                      const std::string& password) {
  struct Outcome : NBOperationDelegate {
    bool done = false;
    std::shared_ptr<NBToken> token;
    std::string failure;
    void operationSuccess(NBOperation*, const NBResult& result) override {
      token = result.recordAs<NBToken>();
      done = true;
    }
    void operationFail(NBOperation*, const std::string& message) override {
      failure = message;
      done = true;
    }
  } outcome;

  auto consumer = std::make_shared<NBConsumer>(consumerKey, consumerSecret);
  auto item = std::make_shared<NBAuthOperationItem>();
  item->consumer = consumer;
  item->userName = user;
  item->password = password;
  item->httpMethod = "POST";
  auto login = std::make_shared<NBXAuthOperation>(&outcome, item);
  login->executeOperation();
  if (!RunLoop::current().runUntil([&] { return outcome.done; }, std::chrono::seconds(30))) {
    login->cancelOperation();
    return "the login call did not finish in 30 s";
  }
  if (!outcome.failure.empty()) return "login: " + outcome.failure;
  if (!outcome.token || !outcome.token->token) return "login: the reply held no access token";
  NBAPIInfo& info = NBAPIInfo::instance();
  info.setConsumer(consumer);
  info.setToken(outcome.token);
  return "";
}

}  // namespace nb::test
