#include "server/Seeder.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "server/StoragePath.h"

namespace nb::server {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kPiece = 256 * 1024;

std::string text(const JsonValue& object, std::string_view key) {
  const JsonValue* value = object.find(key);
  return value && value->isString() ? std::string(value->stringValue()) : std::string();
}

std::int64_t number(const JsonValue& object, std::string_view key, std::int64_t fallback) {
  const JsonValue* value = object.find(key);
  const auto n = value && value->isNumber() ? value->decimalValue().toInt64() : std::nullopt;
  return n && *n >= 0 ? *n : fallback;
}

}  // namespace

Status Seeder::seed(const std::string& folder) {
  std::ifstream in(fs::path(folder) / "users.json", std::ios::binary);
  std::ostringstream json;
  json << in.rdbuf();
  const auto settings = NBJsonUtility::jsonValueFromString(in ? json.str() : "{}");
  if (!settings || !settings->isObject()) {
    return Status::invalidArgument(folder + "/users.json is not a JSON object");
  }
  if (const JsonValue* consumers = settings->find("consumers"); consumers && consumers->isArray()) {
    for (const JsonValue& consumer : consumers->elements()) {
      const std::string key = text(consumer, "key"), secret = text(consumer, "secret");
      if (key.empty() || secret.empty())
        return Status::invalidArgument("a consumer needs a key and a secret");
      accounts_.addConsumer(text(consumer, "name"), false, ConsumerPair{key, secret});
    }
  }
  const JsonValue* users = settings->find("users");
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (!entry.is_directory()) continue;
    const std::string name = entry.path().filename().string();
    const JsonValue none = JsonValue::object();
    const JsonValue* user = users && users->find(name) ? users->find(name) : &none;
    const std::string password = text(*user, "password").empty() ? name : text(*user, "password");
    const std::int64_t quota = number(*user, "quota", AccountStore::kDefaultQuota);
    if (accounts_.addUser(name, password, quota,
                          number(*user, "max_file_size", AccountStore::kDefaultMaxFileSize)) ==
        AccountStore::AddUser::kFailed) {
      return Status::ioError("cannot add user " + name);
    }
    const auto record = accounts_.login(name, password);
    if (!record) return Status::alreadyExists("user " + name + " exists with another password");
    for (const auto& root : fs::directory_iterator(entry.path(), ec)) {
      const std::string rootName = root.path().filename().string();
      if (!root.is_directory() || !StoragePath::validRoot(rootName)) continue;
      const Owner owner{record->id, rootName};
      if (auto seeded = seedTree(owner, record->quotaTotal, root.path().string(), "");
          !seeded.ok()) {
        return seeded;
      }
    }
  }
  if (ec) return Status::ioError("cannot read " + folder + ": " + ec.message());
  return Status::OK();
}

Status Seeder::seedTree(const Owner& owner, std::int64_t quota, const std::string& local,
                        const std::string& remote) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(local, ec)) {
    const std::string path = remote + "/" + entry.path().filename().string();
    if (entry.is_directory()) {
      const auto made = tree_.createFolder(owner, path);
      if (!made.ok() && made.status().code() != StatusCode::kAlreadyExists) return made.status();
      if (auto seeded = seedTree(owner, quota, entry.path().string(), path); !seeded.ok()) {
        return seeded;
      }
    } else if (entry.is_regular_file()) {
      if (auto stored = storeFile(owner, quota, entry.path().string(), path); !stored.ok()) {
        return stored;
      }
    }
  }
  if (ec) return Status::ioError("cannot read " + local + ": " + ec.message());
  return Status::OK();
}

Status Seeder::storeFile(const Owner& owner, std::int64_t quota, const std::string& local,
                         const std::string& remote) {
  std::ifstream in(local, std::ios::binary);
  auto writer = blobs_.begin();
  if (!in || !writer) return Status::ioError("cannot read " + local);
  std::string piece(kPiece, '\0');
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got > 0 && !writer->write(piece.data(), got))
      return Status::ioError("cannot store " + local);
  }
  const auto blob = writer->seal();
  if (!blob) return Status::ioError("cannot store " + local);
  const auto stored =
      tree_.putFile(owner, remote, *blob, true, quota, [&] { return writer->place(); });
  if (!stored.ok()) return Status(stored.status().code(), local + ": " + stored.status().message());
  return Status::OK();
}

}  // namespace nb::server
