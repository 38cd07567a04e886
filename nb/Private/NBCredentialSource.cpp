#include "nb/Private/NBCredentialSource.h"

#include <utility>

#include "nb/Private/NBAPIInfo.h"

namespace nb {
namespace {

class KeychainCredentials : public NBCredentialSource {
 public:
  std::shared_ptr<NBConsumer> consumer() const override {
    return NBAPIInfo::instance().consumer();
  }
  std::shared_ptr<NBToken> token() const override { return NBAPIInfo::instance().token(); }
};

class FixedCredentials : public NBCredentialSource {
 public:
  FixedCredentials(NBConsumer consumer, std::optional<NBToken> token)
      : consumer_(std::make_shared<NBConsumer>(std::move(consumer))),
        token_(token ? std::make_shared<NBToken>(std::move(*token)) : nullptr) {}
  std::shared_ptr<NBConsumer> consumer() const override { return consumer_; }
  std::shared_ptr<NBToken> token() const override { return token_; }

 private:
  std::shared_ptr<NBConsumer> consumer_;
  std::shared_ptr<NBToken> token_;
};

}  // namespace

std::shared_ptr<NBCredentialSource> NBCredentialSource::keychain() {
  static const auto source = std::make_shared<KeychainCredentials>();
  return source;
}

std::shared_ptr<NBCredentialSource> NBCredentialSource::fixed(NBConsumer consumer,
                                                              std::optional<NBToken> token) {
  return std::make_shared<FixedCredentials>(std::move(consumer), std::move(token));
}

}  // namespace nb
