#include "nb/Private/NBAPIInfo.h"

#include "nb/Private/KeychainUtils.h"
#include "nb/Private/NBHosts.h"
#include "nb/platform/SecItem.h"

namespace nb {

std::atomic<bool> NBAPIInfo::secureFileCalls_{false};

void NBAPIInfo::setSecureFileCalls(bool secure) { secureFileCalls_ = secure; }

bool NBAPIInfo::secureFileCalls() { return secureFileCalls_; }

const char* NBAPIInfo::fileCallScheme() { return secureFileCalls_ ? "https://" : "http://"; }

NBAPIInfo& NBAPIInfo::instance() {
  static NBAPIInfo shared;  // created once, even when threads race
  shared.initAuthInfo();
  return shared;
}

NBAPIInfo::NBAPIInfo() { initAuthInfo(); }

NBAPIInfo::~NBAPIInfo() {
  consumer_.reset();
  token_.reset();
}

void NBAPIInfo::initAuthInfo() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (consumer_ && consumer_->key && token_ && token_->token) return;

  const std::string& service = NBHosts::webHost();
  const SecItemSession session;  // one opening of the store for the four values
  auto consumerKey = KeychainUtils::getValueForKey(kConsumerKey, service);
  auto consumerSecret = KeychainUtils::getValueForKey(kConsumerSecretKey, service);
  auto tokenKey = KeychainUtils::getValueForKey(kTokenKey, service);
  auto tokenSecret = KeychainUtils::getValueForKey(kTokenSecretKey, service);

  consumer_.reset();
  token_.reset();
  if (consumerKey) {
    consumer_ = std::make_shared<NBConsumer>(std::move(consumerKey), std::move(consumerSecret));
  }
  if (tokenKey) token_ = std::make_shared<NBToken>(std::move(tokenKey), std::move(tokenSecret));
}

void NBAPIInfo::clearAuthInfo() {
  std::lock_guard<std::mutex> lock(mutex_);
  consumer_.reset();
  token_.reset();
}

std::shared_ptr<NBConsumer> NBAPIInfo::consumer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return consumer_;
}

void NBAPIInfo::setConsumer(std::shared_ptr<NBConsumer> consumer) {
  std::lock_guard<std::mutex> lock(mutex_);
  consumer_ = std::move(consumer);
}

std::shared_ptr<NBToken> NBAPIInfo::token() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return token_;
}

void NBAPIInfo::setToken(std::shared_ptr<NBToken> token) {
  std::lock_guard<std::mutex> lock(mutex_);
  token_ = std::move(token);
}

}  // namespace nb
