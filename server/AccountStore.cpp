#include "server/AccountStore.h"

#include <chrono>

#include "server/Secrets.h"

namespace nb::server {

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

ConsumerPair AccountStore::addConsumer(const std::string& name, bool dev,
                                       std::optional<ConsumerPair> given) {
  ConsumerPair pair = given ? *given : ConsumerPair{Secrets::randomHex(12), Secrets::randomHex(16)};
  auto guard = db_.lock();
  auto st = db_.statement("INSERT INTO consumers(key, secret, name, dev) VALUES(?, ?, ?, ?)");
  st->bind(1, pair.key);
  st->bind(2, pair.secret);
  st->bind(3, name);
  st->bind(4, std::int64_t{dev ? 1 : 0});
  st->step();
  return pair;
}

ConsumerPair AccountStore::devConsumer() {
  {
    auto guard = db_.lock();
    auto st = db_.statement("SELECT key, secret FROM consumers WHERE dev = 1 ORDER BY rowid");
    if (st->step()) return {st->text(0), st->text(1)};
  }
  return addConsumer("development", true);
}

std::optional<std::string> AccountStore::consumerSecret(const std::string& key) {
  auto guard = db_.lock();
  auto st = db_.statement("SELECT secret FROM consumers WHERE key = ?");
  st->bind(1, key);
  if (!st->step()) return std::nullopt;
  return st->text(0);
}

AccountStore::AddUser AccountStore::addUser(const std::string& name, const std::string& password,
                                            std::int64_t quotaTotal, std::int64_t maxFileSize) {
  const std::string hash = Secrets::hashPassword(password);
  auto guard = db_.lock();
  auto exists = db_.statement("SELECT 1 FROM users WHERE name = ?");
  exists->bind(1, name);
  if (exists->step()) return AddUser::kExists;
  auto st = db_.statement(
      "INSERT INTO users(name, password, quota_total, max_file_size, created) "
      "VALUES(?, ?, ?, ?, ?)");
  st->bind(1, name);
  st->bind(2, hash);
  st->bind(3, quotaTotal);
  st->bind(4, maxFileSize);
  st->bind(5, nowSeconds());
  st->step();
  return st->status().ok() ? AddUser::kAdded : AddUser::kFailed;
}

std::optional<UserRecord> AccountStore::userWhere(const char* sql, const std::string* text,
                                                  std::int64_t number) {
  auto guard = db_.lock();
  auto st = db_.statement(sql);
  if (text) {
    st->bind(1, *text);
  } else if (number != 0) {
    st->bind(1, number);
  }
  if (!st->step()) return std::nullopt;
  return UserRecord{st->int64(0), st->text(1), st->int64(2), st->int64(3)};
}

std::optional<UserRecord> AccountStore::login(const std::string& name,
                                              const std::string& password) {
  std::string stored;
  {
    auto guard = db_.lock();
    auto st = db_.statement("SELECT password FROM users WHERE name = ?");
    st->bind(1, name);
    if (!st->step()) return std::nullopt;
    stored = st->text(0);
  }
  if (!Secrets::checkPassword(password, stored)) return std::nullopt;
  return userWhere("SELECT id, name, quota_total, max_file_size FROM users WHERE name = ?", &name,
                   0);
}

std::optional<UserRecord> AccountStore::user(std::int64_t id) {
  return userWhere("SELECT id, name, quota_total, max_file_size FROM users WHERE id = ?", nullptr,
                   id);
}

std::optional<UserRecord> AccountStore::firstUser() {
  return userWhere("SELECT id, name, quota_total, max_file_size FROM users ORDER BY id LIMIT 1",
                   nullptr, 0);
}

Result<TokenRecord> AccountStore::issueToken(const std::string& consumer,
                                             std::optional<std::int64_t> userId, bool isAccess) {
  TokenRecord record{
      Secrets::randomHex(16), Secrets::randomHex(16), consumer, userId, isAccess, isAccess, false};
  auto guard = db_.lock();
  auto st = db_.statement(
      "INSERT INTO tokens(token, secret, consumer, user_id, kind, authorised, created) "
      "VALUES(?, ?, ?, ?, ?, ?, ?)");
  st->bind(1, record.token);
  st->bind(2, record.secret);
  st->bind(3, consumer);
  if (userId) {
    st->bind(4, *userId);
  } else {
    st->bindNull(4);
  }
  st->bind(5, isAccess ? "access" : "request");
  st->bind(6, std::int64_t{isAccess ? 1 : 0});
  st->bind(7, nowSeconds());
  st->step();
  if (!st->status().ok()) return Database::writeFailure(st->status());
  return record;
}

std::optional<TokenRecord> AccountStore::token(const std::string& token) {
  auto guard = db_.lock();
  auto st = db_.statement(
      "SELECT token, secret, consumer, user_id, kind, authorised, revoked FROM tokens "
      "WHERE token = ?");
  st->bind(1, token);
  if (!st->step()) return std::nullopt;
  TokenRecord record{
      st->text(0),       st->text(1),      st->text(2), std::nullopt, st->text(4) == "access",
      st->int64(5) != 0, st->int64(6) != 0};
  if (!st->isNull(3)) record.userId = st->int64(3);
  return record;
}

bool AccountStore::authoriseRequestToken(const std::string& token, std::int64_t userId) {
  auto guard = db_.lock();
  auto st = db_.statement(
      "UPDATE tokens SET authorised = 1, user_id = ? WHERE token = ? AND kind = 'request' "
      "AND revoked = 0");
  st->bind(1, userId);
  st->bind(2, token);
  st->step();
  return db_.sql().changes() == 1;
}

Result<TokenRecord> AccountStore::exchangeRequestToken(const std::string& requestToken) {
  const Status spent = Status::notFound("authorization expired");
  auto found = token(requestToken);
  if (!found || found->isAccess || !found->authorised || found->revoked || !found->userId) {
    return spent;
  }
  {
    auto guard = db_.lock();
    auto st = db_.statement("DELETE FROM tokens WHERE token = ? AND kind = 'request'");
    st->bind(1, requestToken);
    st->step();
    if (!st->status().ok()) return Database::writeFailure(st->status());
    if (db_.sql().changes() != 1) return spent;  // exchanged meanwhile
  }
  return issueToken(found->consumer, found->userId, true);
}

bool AccountStore::revokeToken(const std::string& token) {
  auto guard = db_.lock();
  auto st = db_.statement("UPDATE tokens SET revoked = 1 WHERE token = ?");
  st->bind(1, token);
  st->step();
  return db_.sql().changes() == 1;
}

Result<bool> AccountStore::recordNonce(const std::string& consumer, const std::string& nonce,
                                       std::int64_t keepSeconds) {
  const std::int64_t now = nowSeconds();
  auto guard = db_.lock();
  // Expired nonces go a few at a time, so that no request pays for a whole
  // second's worth of them at once: more than one per nonce recorded, so the
  // table keeps up with any rate.
  if (++noncesSincePrune_ >= kNoncePruneEvery) {
    noncesSincePrune_ = 0;
    auto prune = db_.statement(
        "DELETE FROM nonces WHERE (consumer, nonce) IN "
        "(SELECT consumer, nonce FROM nonces WHERE seen < ? LIMIT ?)");
    prune->bind(1, now - keepSeconds);
    prune->bind(2, std::int64_t{2 * kNoncePruneEvery});
    prune->step();
  }
  // Every signed request writes one: it need not wait for the disk. A nonce
  // lost to a power cut (never to a killed process) only reopens a replay
  // window that the timestamp check closes minutes later.
  db_.statement("PRAGMA synchronous=NORMAL")->step();
  auto st = db_.statement("INSERT OR IGNORE INTO nonces(consumer, nonce, seen) VALUES(?, ?, ?)");
  st->bind(1, consumer);
  st->bind(2, nonce);
  st->bind(3, now);
  st->step();
  const SqliteStatus written = st->status();
  const bool fresh = db_.sql().changes() == 1;
  db_.statement("PRAGMA synchronous=FULL")->step();
  if (!written.ok()) return Database::writeFailure(written);
  return fresh;
}

std::string AccountStore::createChallenge(const std::string& code) {
  const std::string authid = Secrets::randomHex(12);
  auto guard = db_.lock();
  auto prune = db_.statement("DELETE FROM challenges WHERE created < ?");
  prune->bind(1, nowSeconds() - 3600);  // an unanswered challenge lapses after an hour
  prune->step();
  auto st = db_.statement("INSERT INTO challenges(authid, code, created) VALUES(?, ?, ?)");
  st->bind(1, authid);
  st->bind(2, code);
  st->bind(3, nowSeconds());
  st->step();
  return authid;
}

std::optional<std::string> AccountStore::challengeCode(const std::string& authid) {
  auto guard = db_.lock();
  auto st = db_.statement("SELECT code FROM challenges WHERE authid = ? AND created >= ?");
  st->bind(1, authid);
  st->bind(2, nowSeconds() - 3600);
  if (!st->step()) return std::nullopt;
  return st->text(0);
}

std::optional<std::string> AccountStore::takeChallenge(const std::string& authid) {
  auto code = challengeCode(authid);
  auto guard = db_.lock();
  auto st = db_.statement("DELETE FROM challenges WHERE authid = ?");
  st->bind(1, authid);
  st->step();
  if (db_.sql().changes() != 1) return std::nullopt;  // answered meanwhile
  return code;
}

std::string AccountStore::createSession(std::int64_t userId) {
  const std::string id = Secrets::randomHex(20);
  auto guard = db_.lock();
  auto st = db_.statement("INSERT INTO sessions(id, user_id, created) VALUES(?, ?, ?)");
  st->bind(1, id);
  st->bind(2, userId);
  st->bind(3, nowSeconds());
  st->step();
  return id;
}

std::optional<std::int64_t> AccountStore::sessionUser(const std::string& session) {
  auto guard = db_.lock();
  auto st = db_.statement("SELECT user_id FROM sessions WHERE id = ?");
  st->bind(1, session);
  if (!st->step()) return std::nullopt;
  return st->int64(0);
}

}  // namespace nb::server
