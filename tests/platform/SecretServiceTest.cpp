// The keychain calls against a real Secret Service (gnome-keyring-daemon on a
// private session bus, started by each test), and the choice between it and
// the file store.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "nb/platform/SecItem.h"
#include "nb/platform/internal/FileKeychain.h"
#include "tests/platform/SecretServiceSession.h"
#include "tests/support/TempDataHome.h"

namespace nb {
namespace {

const std::string kService = "www.nimbus.test";

SecItemDictionary item(const std::string& account, std::optional<std::string> data) {
  SecItemDictionary d;
  d.itemClass = kSecClassGenericPassword;
  d.service = kService;
  d.label = kService;
  d.account = account;
  d.valueData = std::move(data);
  return d;
}

SecItemDictionary query(const std::string& account) {
  SecItemDictionary d;
  d.itemClass = kSecClassGenericPassword;
  d.service = kService;
  d.account = account;
  return d;
}

// The stored value of `account`, or the failing status as text.
std::string valueOf(const std::string& account) {
  SecItemDictionary q = query(account);
  q.returnData = true;
  SecItemResult found;
  const OSStatus status = SecItemCopyMatching(q, &found);
  if (status != errSecSuccess) return "status " + std::to_string(status);
  return found.valueData.value_or("(no data)");
}

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    set(value);
  }
  ~ScopedEnv() { set(previous_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> previous_;
};

class SecretServiceTest : public ::testing::Test {
 protected:
  TempDataHome home_;
  ScopedEnv chooser_{"NB_KEYCHAIN", std::nullopt};
  test::SecretServiceSession session_;
};

TEST_F(SecretServiceTest, ItemsAreStoredFoundUpdatedAndDeletedInTheSecretService) {
  ASSERT_TRUE(session_.ok());
  const auto store = SecKeychainCurrentStore();
  ASSERT_TRUE(store.ok()) << store.status().toString();
  EXPECT_EQ(store->name, "secret-service");

  EXPECT_EQ(SecItemAdd(item("TokenKey", std::string("a\0b", 3))), errSecSuccess);
  EXPECT_EQ(SecItemAdd(item("TokenKey", "other")), errSecDuplicateItem);
  EXPECT_EQ(SecItemAdd(item("TokenSecretKey", "token secret")), errSecSuccess);

  SecItemDictionary both = query("TokenKey");
  both.returnAttributes = true;
  both.returnData = true;
  SecItemResult found;
  ASSERT_EQ(SecItemCopyMatching(both, &found), errSecSuccess);
  EXPECT_EQ(found.service, kService);
  EXPECT_EQ(found.account, "TokenKey");
  EXPECT_EQ(found.label, kService);
  EXPECT_EQ(found.valueData, std::string("a\0b", 3));  // bytes kept exactly

  // Other programs see a plain item with the service and account as attributes.
  const auto lookup =
      session_.run({"secret-tool", "lookup", "service", kService, "account", "TokenSecretKey"});
  EXPECT_EQ(lookup.status, 0) << lookup.text;
  EXPECT_EQ(lookup.text, "token secret");

  SecItemDictionary change;
  change.valueData = "new";
  SecItemDictionary byLabel = query("TokenKey");
  byLabel.label = "another label";
  EXPECT_EQ(SecItemUpdate(byLabel, change), errSecItemNotFound);  // the label is part of the match
  byLabel.label = kService;
  EXPECT_EQ(SecItemUpdate(byLabel, change), errSecSuccess);
  EXPECT_EQ(valueOf("TokenKey"), "new");

  SecItemDictionary rename;
  rename.account = "TokenSecretKey";
  EXPECT_EQ(SecItemUpdate(query("TokenKey"), rename), errSecDuplicateItem);
  rename.account = "RenamedKey";
  EXPECT_EQ(SecItemUpdate(query("TokenKey"), rename), errSecSuccess);
  EXPECT_EQ(valueOf("RenamedKey"), "new");

  EXPECT_EQ(SecItemDelete(query("RenamedKey")), errSecSuccess);
  EXPECT_EQ(SecItemDelete(query("RenamedKey")), errSecItemNotFound);
  EXPECT_EQ(SecItemCopyMatching(query("RenamedKey"), nullptr), errSecItemNotFound);
  EXPECT_EQ(SecItemUpdate(query("RenamedKey"), change), errSecItemNotFound);
  EXPECT_EQ(valueOf("TokenSecretKey"), "token secret");

  // Nothing went to the file store.
  EXPECT_FALSE(internal::FileKeychain::exists());
}

TEST_F(SecretServiceTest, FileStoreItemsMoveIntoTheSecretServiceOnce) {
  ASSERT_TRUE(session_.ok());
  {
    // An older value already in the keyring, newer ones in the file store.
    ScopedEnv forced("NB_KEYCHAIN", "secret-service");
    ASSERT_EQ(SecItemAdd(item("TokenKey", "stale-token")), errSecSuccess);
  }
  {
    ScopedEnv forced("NB_KEYCHAIN", "file");
    ASSERT_EQ(SecItemAdd(item("TokenKey", "file-token-1234")), errSecSuccess);
    ASSERT_EQ(SecItemAdd(item("ConsumerSecretKey", "file-secret-5678")), errSecSuccess);
  }
  ASSERT_NE(fileBytes(internal::FileKeychain::path()).find("file-secret-5678"), std::string::npos);

  // The first call with the Secret Service available moves them.
  EXPECT_EQ(valueOf("TokenKey"), "file-token-1234");
  EXPECT_EQ(valueOf("ConsumerSecretKey"), "file-secret-5678");
  const auto search = session_.run({"secret-tool", "search", "--all", "service", kService});
  EXPECT_NE(search.text.find("file-secret-5678"), std::string::npos) << search.text;
  EXPECT_EQ(search.text.find("stale-token"), std::string::npos) << search.text;

  // The file keeps no copy, not even in freed pages or its log.
  const std::string path = internal::FileKeychain::path();
  const std::string bytes = fileBytes(path) + fileBytes(path + "-wal");
  EXPECT_EQ(bytes.find("file-token-1234"), std::string::npos);
  EXPECT_EQ(bytes.find("file-secret-5678"), std::string::npos);

  // Nothing moves back: the file store, when forced, is simply empty.
  ScopedEnv forced("NB_KEYCHAIN", "file");
  EXPECT_EQ(valueOf("TokenKey"), "status " + std::to_string(errSecItemNotFound));
}

TEST_F(SecretServiceTest, LockedCollectionIsAFailureAndNeverAPrompt) {
  ASSERT_TRUE(session_.ok());
  ASSERT_EQ(SecItemAdd(item("TokenKey", "token")), errSecSuccess);
  session_.lockDefaultCollection();

  EXPECT_EQ(valueOf("TokenKey"), "status " + std::to_string(errSecInteractionNotAllowed));
  EXPECT_EQ(SecItemLastStatus().code(), StatusCode::kPermissionDenied);
  EXPECT_NE(SecItemLastStatus().message().find("locked"), std::string::npos);
  EXPECT_EQ(SecItemAdd(item("TokenSecretKey", "secret")), errSecInteractionNotAllowed);
  SecItemDictionary change;
  change.valueData = "changed";
  EXPECT_EQ(SecItemUpdate(query("TokenKey"), change), errSecInteractionNotAllowed);
  EXPECT_EQ(SecItemDelete(query("TokenKey")), errSecInteractionNotAllowed);
  // Nor did the refused writes land in the file store instead.
  EXPECT_FALSE(internal::FileKeychain::exists());

  // Items in the file store cannot move into a locked keyring: they stay.
  {
    ScopedEnv forced("NB_KEYCHAIN", "file");
    ASSERT_EQ(SecItemAdd(item("ConsumerKey", "consumer")), errSecSuccess);
  }
  EXPECT_EQ(valueOf("ConsumerKey"), "status " + std::to_string(errSecInteractionNotAllowed));
  ScopedEnv forced("NB_KEYCHAIN", "file");
  EXPECT_EQ(valueOf("ConsumerKey"), "consumer");
}

// Two processes store values at once, racing on one shared item, in either
// store: every call succeeds, nothing is lost, the shared item exists once.
TEST_F(SecretServiceTest, TwoProcessesWritingAtOnceLoseNothing) {
  ASSERT_TRUE(session_.ok());
  constexpr int kCount = 15;
  for (const char* store : {"secret-service", "file"}) {
    SCOPED_TRACE(store);
    ScopedEnv forced("NB_KEYCHAIN", store);
    auto writer = [this](const std::string& name) {
      return session_.run({KEYCHAIN_WRITER, name, std::to_string(kCount)});
    };
    auto first = std::async(std::launch::async, writer, "first");
    auto second = std::async(std::launch::async, writer, "second");
    for (auto* result : {&first, &second}) {
      const auto output = result->get();
      EXPECT_EQ(output.status, 0) << output.text;
    }
    for (const std::string name : {"first", "second"}) {
      for (int i = 0; i < kCount; ++i) {
        const std::string value = name + "-" + std::to_string(i);
        EXPECT_EQ(valueOf(value), value);
      }
    }
    for (int i = 0; i < kCount; ++i) {
      const std::string shared = valueOf("shared-" + std::to_string(i));
      EXPECT_TRUE(shared == "first-" + std::to_string(i) || shared == "second-" + std::to_string(i))
          << shared;
    }
    const std::string shared = valueOf("shared");
    EXPECT_TRUE(shared == "first-" + std::to_string(kCount - 1) ||
                shared == "second-" + std::to_string(kCount - 1))
        << shared;
  }
  // In the keyring, too, the shared item exists once (the file store's key
  // forbids a second copy).
  const auto search = session_.run({"secret-tool", "search", "--all", "account", "shared"});
  EXPECT_EQ(search.status, 0) << search.text;
  std::size_t copies = 0;
  for (std::size_t at = 0;
       (at = search.text.find("attribute.account = shared", at)) != std::string::npos; ++at) {
    ++copies;
  }
  EXPECT_EQ(copies, 1u) << search.text;
}

// A keyring daemon that stops answering (the bus itself still does) ends each
// call with a status within the time allowed, never a hang.
TEST_F(SecretServiceTest, StoppedKeyringDaemonIsATimeoutNotAHang) {
  ASSERT_TRUE(session_.ok());
  ASSERT_EQ(SecItemAdd(item("TokenKey", "token")), errSecSuccess);
  const pid_t keyring = session_.keyringPid();
  ASSERT_GT(keyring, 0);
  ASSERT_EQ(::kill(keyring, SIGSTOP), 0);
  {
    ScopedEnv quick("NB_KEYCHAIN_TIMEOUT_MS", "300");
    EXPECT_EQ(valueOf("TokenKey"), "status " + std::to_string(errSecNotAvailable));
    EXPECT_EQ(SecItemLastStatus().code(), StatusCode::kTimeout);
    EXPECT_EQ(SecItemAdd(item("Other", "x")), errSecNotAvailable);
    EXPECT_FALSE(internal::FileKeychain::exists());  // no silent switch of stores
  }
  ::kill(keyring, SIGCONT);
  EXPECT_EQ(valueOf("TokenKey"), "token");
}

// The bus goes away during a call and under a process that was using it:
// calls fail with a status at once (the process is not ended by the lost
// connection, and the call does not wait for its time-out).
TEST_F(SecretServiceTest, BusThatGoesAwayIsAFailureNotAnExit) {
  ASSERT_TRUE(session_.ok());
  ASSERT_EQ(SecItemAdd(item("TokenKey", "token")), errSecSuccess);
  const pid_t keyring = session_.keyringPid();
  ASSERT_GT(keyring, 0);
  ASSERT_EQ(::kill(keyring, SIGSTOP), 0);  // the call below waits for an answer
  {
    ScopedEnv patient("NB_KEYCHAIN_TIMEOUT_MS", "60000");
    ScopedEnv forced("NB_KEYCHAIN", "secret-service");
    auto pending = std::async(std::launch::async, [] {
      const std::string value = valueOf("TokenKey");
      return std::make_pair(value, SecItemLastStatus());
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    session_.stopBus();
    const auto [value, status] = pending.get();
    EXPECT_EQ(value, "status " + std::to_string(errSecNotAvailable));
    // The lost connection (or, on a machine too slow to have sent the call
    // yet, the missing bus) ends the call, not the time-out.
    EXPECT_NE(status.code(), StatusCode::kTimeout) << status.toString();
  }
  // An application that runs GLib's main loop now hears of the lost bus too;
  // that must not end its process.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  session_.stop();
  ScopedEnv forced("NB_KEYCHAIN", "secret-service");
  EXPECT_EQ(valueOf("TokenKey"), "status " + std::to_string(errSecNotAvailable));
  EXPECT_NE(SecItemLastStatus().message().find("NB_KEYCHAIN=secret-service"), std::string::npos)
      << SecItemLastStatus().toString();
  EXPECT_EQ(SecItemAdd(item("TokenKey", "token")), errSecNotAvailable);
}

// Without a Secret Service the file store is used, unless the Secret Service
// is forced; a bus that does not answer leaves the choice open, so it is an
// error rather than a quiet switch to the file.
TEST(SecretServiceChoiceTest, FileStoreWithoutABusAndErrorsWhenForcingOrUnsure) {
  TempDataHome home;
  ScopedEnv noRuntimeBus("XDG_RUNTIME_DIR", home.path());
  ScopedEnv quick("NB_KEYCHAIN_TIMEOUT_MS", "300");

  // A listener that accepts connections and never speaks.
  const std::string silentPath = home.path() + "/silent-bus";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  silentPath.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);

  const struct {
    const char* name;
    std::optional<std::string> bus;
    std::optional<std::string> chooser;
    OSStatus expected;
    StatusCode detail;
  } cases[] = {
      {"no bus", std::nullopt, std::nullopt, errSecSuccess, StatusCode::kOk},
      {"no bus, file forced", std::nullopt, "file", errSecSuccess, StatusCode::kOk},
      {"a bus address that leads nowhere", "unix:path=" + home.path() + "/none", std::nullopt,
       errSecSuccess, StatusCode::kOk},
      {"no bus, Secret Service forced", std::nullopt, "secret-service", errSecNotAvailable,
       StatusCode::kUnavailable},
      {"dead address, Secret Service forced", "unix:path=" + home.path() + "/none",
       "secret-service", errSecNotAvailable, StatusCode::kUnavailable},
      {"silent bus", "unix:path=" + silentPath, std::nullopt, errSecNotAvailable,
       StatusCode::kTimeout},
      {"unknown store name", std::nullopt, "keyring", errSecParam, StatusCode::kInvalidArgument},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDataHome caseHome;
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", c.bus);
    ScopedEnv chooser("NB_KEYCHAIN", c.chooser);
    EXPECT_EQ(SecItemAdd(item("TokenKey", "token")), c.expected);
    EXPECT_EQ(SecItemLastStatus().code(), c.detail) << SecItemLastStatus().toString();
    EXPECT_EQ(internal::FileKeychain::exists(), c.expected == errSecSuccess);
    const auto store = SecKeychainCurrentStore();
    if (c.expected == errSecSuccess) {
      ASSERT_TRUE(store.ok());
      EXPECT_EQ(store->name, "file");
      EXPECT_EQ(valueOf("TokenKey"), "token");
    } else {
      EXPECT_EQ(store.status().code(), c.detail);
    }
  }
  ::close(listener);
}

}  // namespace
}  // namespace nb
