// AccountStore: consumers, users, OAuth tokens, used nonces, registration
// challenges and web sessions in metadata.db. Borrows the Database, which must
// outlive it; every call is safe from any request thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "server/Database.h"

namespace nb::server {

struct UserRecord {
  std::int64_t id = 0;
  std::string name;
  std::int64_t quotaTotal = 0;
  std::int64_t maxFileSize = 0;
};

struct TokenRecord {
  std::string token;
  std::string secret;
  std::string consumer;
  std::optional<std::int64_t> userId;
  bool isAccess = false;  // access token; otherwise a request token
  bool authorised = false;
  bool revoked = false;
};

struct ConsumerPair {
  std::string key;
  std::string secret;
};

class AccountStore {
 public:
  static constexpr std::int64_t kDefaultQuota = 10LL << 30;
  static constexpr std::int64_t kDefaultMaxFileSize = 2LL << 30;

  explicit AccountStore(Database& db) : db_(db) {}

  // A consumer with new credentials, or with `given` ones (kept as they are
  // when that key exists).
  ConsumerPair addConsumer(const std::string& name, bool dev = false,
                           std::optional<ConsumerPair> given = std::nullopt);
  // The development consumer, made on first use and kept afterwards.
  ConsumerPair devConsumer();
  std::optional<std::string> consumerSecret(const std::string& key);

  enum class AddUser { kAdded, kExists, kFailed };
  AddUser addUser(const std::string& name, const std::string& password,
                  std::int64_t quotaTotal = kDefaultQuota,
                  std::int64_t maxFileSize = kDefaultMaxFileSize);
  std::optional<UserRecord> login(const std::string& name, const std::string& password);
  std::optional<UserRecord> user(std::int64_t id);
  std::optional<UserRecord> firstUser();

  // A new token for `consumer`; an access token belongs to `userId`. An error
  // (Database::writeFailure) when it could not be stored.
  Result<TokenRecord> issueToken(const std::string& consumer, std::optional<std::int64_t> userId,
                                 bool isAccess);
  std::optional<TokenRecord> token(const std::string& token);
  bool authoriseRequestToken(const std::string& token, std::int64_t userId);
  // Swaps an authorised request token for a new access token in one step, so
  // a request token is used once; not found when it cannot be swapped.
  Result<TokenRecord> exchangeRequestToken(const std::string& requestToken);
  bool revokeToken(const std::string& token);

  // Records a nonce; false when the consumer used it before, whatever the
  // timestamp, an error when it could not be written (a full disk is not a
  // replay). Nonces are kept for `keepSeconds`, longer than any timestamp the
  // window accepts could stay valid.
  Result<bool> recordNonce(const std::string& consumer, const std::string& nonce,
                           std::int64_t keepSeconds);

  std::string createChallenge(const std::string& code);
  // The challenge's code, removing the challenge: each is answered once.
  std::optional<std::string> takeChallenge(const std::string& authid);
  std::optional<std::string> challengeCode(const std::string& authid);

  std::string createSession(std::int64_t userId);
  std::optional<std::int64_t> sessionUser(const std::string& session);

 private:
  std::optional<UserRecord> userWhere(const char* sql, const std::string* text,
                                      std::int64_t number);
  static constexpr int kNoncePruneEvery = 16;
  Database& db_;
  int noncesSincePrune_ = 0;  // guarded by the database lock
};

std::int64_t nowSeconds();

}  // namespace nb::server
