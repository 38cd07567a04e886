// SecretServiceKeychain keeps keychain items in the desktop's Secret Service
// (GNOME Keyring, KWallet, KeePassXC) over the session bus, through libsecret:
// one item per (service, account), attributes "service", "account" and
// "label", new items in the default collection. It never prompts: a locked
// collection is an error. Every object has its own service proxy and a
// deadline (NB_KEYCHAIN_TIMEOUT_MS, default 10000) after which every call still
// waiting is cancelled, so a bus or daemon that does not answer cannot hang the
// caller; a bus that goes away is an error, never the end of the process. One
// object per thread; libsecret's headers stay in the .cpp file.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nb/platform/internal/KeychainBackend.h"

namespace nb::internal {

class SecretServiceKeychain : public KeychainBackend {
 public:
  // The session bus to use: $DBUS_SESSION_BUS_ADDRESS, else the user's bus
  // socket at $XDG_RUNTIME_DIR/bus; nothing when neither exists.
  static std::optional<std::string> sessionBusAddress();
  // Connects and checks that a Secret Service answers (or can be started) on
  // the bus. kUnavailable when there is no bus or no service on it; kTimeout
  // when the bus does not answer in time.
  static Result<std::unique_ptr<SecretServiceKeychain>> open();
  ~SecretServiceKeychain() override;

  std::string name() const override { return "secret-service"; }
  std::string location() const override;
  Result<std::vector<KeychainItem>> find(const SecItemDictionary& query, bool withData) override;
  Status add(const KeychainItem& item) override;
  Result<std::size_t> update(const SecItemDictionary& query,
                             const SecItemDictionary& change) override;
  Result<std::size_t> remove(const SecItemDictionary& query) override;

  struct State;  // the connection, the service proxy and the deadline

 private:
  explicit SecretServiceKeychain(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace nb::internal
