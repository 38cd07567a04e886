#include "cli/StoreStatus.h"

#include "cli/CommandContext.h"
#include "cli/CredentialStore.h"
#include "cli/Printer.h"
#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/platform/SecItem.h"

namespace nb::cli {

std::string credentialStoreLine() {
  const auto store = SecKeychainCurrentStore();
  if (!store.ok()) return "Credentials: no usable store: " + store.status().message();
  const std::string name = store->name == "secret-service" ? "Secret Service" : store->name;
  return "Credentials: " + name + " (" + store->location + ")";
}

CommandRun declareWhoami(CLI::App&) {
  return [](CommandContext& context) -> Status {
    const auto store = SecKeychainCurrentStore();
    const bool signedIn = store.ok() && CredentialStore::hasAccessToken();
    JsonValue value = JsonValue::object();
    value.set("signed_in", JsonValue(signedIn));
    value.set("store", store.ok() ? JsonValue(store->name) : JsonValue());
    value.set("store_location", store.ok() ? JsonValue(store->location) : JsonValue());
    if (!store.ok()) value.set("store_error", JsonValue(store.status().message()));
    context.printer().result(value, std::string(signedIn ? "Signed in" : "Not signed in") + "\n" +
                                        credentialStoreLine());
    if (signedIn) return Status::OK();
    return Status::unauthenticated("not signed in: run `nb login USER`");
  };
}

}  // namespace nb::cli
