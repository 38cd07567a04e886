#include "nb/platform/internal/SecretServiceKeychain.h"

#include <dlfcn.h>
#include <gio/gio.h>
#include <libsecret/secret.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include "nb/platform/UserDefaults.h"

namespace nb::internal {
namespace {

// libsecret (with GIO, GObject and GLib beneath it) is loaded when the Secret
// Service is first used, not when the program starts: linked in, its dozen
// libraries cost every run of a short program a few milliseconds, also when
// the file store is the one in use. Every call of theirs below goes through
// this table; the names stay those of the libraries' own functions.
// clang-format off
#define NB_LIBSECRET_FUNCTIONS(X)                                                          \
  X(g_bus_get_sync) X(g_cancellable_cancel) X(g_cancellable_is_cancelled)                 \
  X(g_cancellable_new) X(g_dbus_address_escape_value) X(g_dbus_connection_call_sync)     \
  X(g_dbus_connection_is_closed) X(g_dbus_connection_set_exit_on_close)                  \
  X(g_dbus_error_quark) X(g_dbus_proxy_get_object_path) X(g_dbus_proxy_get_type)         \
  X(g_error_free) X(g_error_matches) X(g_free) X(g_hash_table_insert)                    \
  X(g_hash_table_lookup) X(g_hash_table_new) X(g_hash_table_unref) X(g_io_error_quark)   \
  X(g_list_free_full) X(g_object_unref) X(g_str_equal) X(g_str_hash) X(g_strcmp0)        \
  X(g_type_check_instance_cast) X(g_variant_get) X(g_variant_iter_free)                  \
  X(g_variant_iter_loop) X(g_variant_new) X(g_variant_type_checked_) X(g_variant_unref)  \
  X(secret_collection_for_alias_sync) X(secret_collection_get_locked)                    \
  X(secret_error_get_quark) X(secret_item_create_sync) X(secret_item_delete_sync)        \
  X(secret_item_get_attributes) X(secret_item_get_locked) X(secret_item_get_secret)      \
  X(secret_item_set_attributes_sync) X(secret_item_set_label_sync)                       \
  X(secret_item_set_secret_sync) X(secret_service_get_type) X(secret_service_open_sync)  \
  X(secret_service_search_sync) X(secret_value_get) X(secret_value_new)                  \
  X(secret_value_unref)
// clang-format on

struct LibSecret {
#define NB_LIBSECRET_POINTER(name) decltype(&::name) p_##name = nullptr;
  NB_LIBSECRET_FUNCTIONS(NB_LIBSECRET_POINTER)
#undef NB_LIBSECRET_POINTER
  std::string failure;  // why the libraries could not be loaded; empty once loaded
};

// The table, loaded once per process; never unloaded (GLib keeps threads and
// types that would outlive it).
const LibSecret& libSecret() {
  static const LibSecret loaded = [] {
    LibSecret lib;
    void* handle = dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* reason = dlerror();
      lib.failure = reason != nullptr ? reason : "libsecret-1.so.0 cannot be loaded";
      return lib;
    }
    // dlsym on libsecret's handle also finds its dependencies' functions.
#define NB_LIBSECRET_LOAD(name)                                                  \
  lib.p_##name = reinterpret_cast<decltype(lib.p_##name)>(dlsym(handle, #name)); \
  if (lib.p_##name == nullptr && lib.failure.empty()) lib.failure = "libsecret lacks " #name;
    NB_LIBSECRET_FUNCTIONS(NB_LIBSECRET_LOAD)
#undef NB_LIBSECRET_LOAD
    return lib;
  }();
  return loaded;
}

// Why the Secret Service libraries cannot be used, if they cannot.
std::optional<Status> libSecretMissing() {
  const LibSecret& lib = libSecret();
  if (lib.failure.empty()) return std::nullopt;
  return Status::unavailable("the Secret Service library cannot be loaded: " + lib.failure);
}

}  // namespace

// From here on the libraries' names call through the table.
#define NB_LIBSECRET_REDIRECT(name) (libSecret().p_##name)
#define g_bus_get_sync NB_LIBSECRET_REDIRECT(g_bus_get_sync)
#define g_cancellable_cancel NB_LIBSECRET_REDIRECT(g_cancellable_cancel)
#define g_cancellable_is_cancelled NB_LIBSECRET_REDIRECT(g_cancellable_is_cancelled)
#define g_cancellable_new NB_LIBSECRET_REDIRECT(g_cancellable_new)
#define g_dbus_address_escape_value NB_LIBSECRET_REDIRECT(g_dbus_address_escape_value)
#define g_dbus_connection_call_sync NB_LIBSECRET_REDIRECT(g_dbus_connection_call_sync)
#define g_dbus_connection_is_closed NB_LIBSECRET_REDIRECT(g_dbus_connection_is_closed)
#define g_dbus_connection_set_exit_on_close \
  NB_LIBSECRET_REDIRECT(g_dbus_connection_set_exit_on_close)
#define g_dbus_error_quark NB_LIBSECRET_REDIRECT(g_dbus_error_quark)
#define g_dbus_proxy_get_object_path NB_LIBSECRET_REDIRECT(g_dbus_proxy_get_object_path)
#define g_dbus_proxy_get_type NB_LIBSECRET_REDIRECT(g_dbus_proxy_get_type)
#define g_error_free NB_LIBSECRET_REDIRECT(g_error_free)
#define g_error_matches NB_LIBSECRET_REDIRECT(g_error_matches)
#define g_free NB_LIBSECRET_REDIRECT(g_free)
#define g_hash_table_insert NB_LIBSECRET_REDIRECT(g_hash_table_insert)
#define g_hash_table_lookup NB_LIBSECRET_REDIRECT(g_hash_table_lookup)
#define g_hash_table_new NB_LIBSECRET_REDIRECT(g_hash_table_new)
#define g_hash_table_unref NB_LIBSECRET_REDIRECT(g_hash_table_unref)
#define g_io_error_quark NB_LIBSECRET_REDIRECT(g_io_error_quark)
#define g_list_free_full NB_LIBSECRET_REDIRECT(g_list_free_full)
#define g_object_unref NB_LIBSECRET_REDIRECT(g_object_unref)
#undef g_str_equal  // GLib also defines it as a function-like macro
#define g_str_equal NB_LIBSECRET_REDIRECT(g_str_equal)
#define g_str_hash NB_LIBSECRET_REDIRECT(g_str_hash)
#define g_strcmp0 NB_LIBSECRET_REDIRECT(g_strcmp0)
#define g_type_check_instance_cast NB_LIBSECRET_REDIRECT(g_type_check_instance_cast)
#define g_variant_get NB_LIBSECRET_REDIRECT(g_variant_get)
#define g_variant_iter_free NB_LIBSECRET_REDIRECT(g_variant_iter_free)
#define g_variant_iter_loop NB_LIBSECRET_REDIRECT(g_variant_iter_loop)
#define g_variant_new NB_LIBSECRET_REDIRECT(g_variant_new)
#define g_variant_type_checked_ NB_LIBSECRET_REDIRECT(g_variant_type_checked_)
#define g_variant_unref NB_LIBSECRET_REDIRECT(g_variant_unref)
#define secret_collection_for_alias_sync NB_LIBSECRET_REDIRECT(secret_collection_for_alias_sync)
#define secret_collection_get_locked NB_LIBSECRET_REDIRECT(secret_collection_get_locked)
#define secret_error_get_quark NB_LIBSECRET_REDIRECT(secret_error_get_quark)
#define secret_item_create_sync NB_LIBSECRET_REDIRECT(secret_item_create_sync)
#define secret_item_delete_sync NB_LIBSECRET_REDIRECT(secret_item_delete_sync)
#define secret_item_get_attributes NB_LIBSECRET_REDIRECT(secret_item_get_attributes)
#define secret_item_get_locked NB_LIBSECRET_REDIRECT(secret_item_get_locked)
#define secret_item_get_secret NB_LIBSECRET_REDIRECT(secret_item_get_secret)
#define secret_item_set_attributes_sync NB_LIBSECRET_REDIRECT(secret_item_set_attributes_sync)
#define secret_item_set_label_sync NB_LIBSECRET_REDIRECT(secret_item_set_label_sync)
#define secret_item_set_secret_sync NB_LIBSECRET_REDIRECT(secret_item_set_secret_sync)
#define secret_service_get_type NB_LIBSECRET_REDIRECT(secret_service_get_type)
#define secret_service_open_sync NB_LIBSECRET_REDIRECT(secret_service_open_sync)
#define secret_service_search_sync NB_LIBSECRET_REDIRECT(secret_service_search_sync)
#define secret_value_get NB_LIBSECRET_REDIRECT(secret_value_get)
#define secret_value_new NB_LIBSECRET_REDIRECT(secret_value_new)
#define secret_value_unref NB_LIBSECRET_REDIRECT(secret_value_unref)

namespace {

constexpr const char* kServiceBusName = "org.freedesktop.secrets";
constexpr std::chrono::milliseconds kDefaultTimeout{10000};

// One holder per GLib-owned handle.
struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
struct GHashTableUnref {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using GHashTablePtr = std::unique_ptr<GHashTable, GHashTableUnref>;
struct SecretValueUnref {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;
struct GListOfObjectsFree {
  void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using GListPtr = std::unique_ptr<GList, GListOfObjectsFree>;

std::chrono::milliseconds timeoutFromEnvironment() {
  const char* text = std::getenv("NB_KEYCHAIN_TIMEOUT_MS");
  if (text == nullptr || *text == '\0') return kDefaultTimeout;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value <= 0) return kDefaultTimeout;
  return std::chrono::milliseconds(value);
}

// The items' schema: our attributes, and the schema name that keeps other
// applications' items out of our searches.
const SecretSchema& schema() {
  static const SecretSchema value = [] {
    SecretSchema s{};
    s.name = "nb.GenericPassword";
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[2] = {"label", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return value;
}

// Attribute table for the fields `query` names; it points into `query`.
GHashTablePtr attributesFor(const SecItemDictionary& query) {
  GHashTablePtr table(g_hash_table_new(g_str_hash, g_str_equal));
  const std::pair<const char*, const std::optional<std::string>*> fields[] = {
      {"service", &query.service}, {"account", &query.account}, {"label", &query.label}};
  for (const auto& [name, value] : fields) {
    if (value->has_value()) {
      g_hash_table_insert(table.get(), const_cast<char*>(name),
                          const_cast<char*>((*value)->c_str()));
    }
  }
  return table;
}

SecItemDictionary dictionaryOf(const KeychainItem& item) {
  SecItemDictionary d = identityOf(item);
  d.label = item.label;
  return d;
}

// What people see in a keyring manager: the application, then the item.
std::string displayLabel(const std::string& service, const std::string& account) {
  return UserDefaults::applicationId() + ": " + account + " for " + service;
}

Status lockedStatus() {
  return Status::permissionDenied(
      "the Secret Service collection is locked; unlock it (for example by signing in to the "
      "desktop session) and try again");
}

// Cancels every call still waiting once the time allowed has passed. A watcher
// thread waits on a condition variable, so an early end costs nothing.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds limit)
      : limit_(limit), cancellable_(g_cancellable_new()), watcher_([this] { watch(); }) {}
  ~Deadline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    watcher_.join();
    g_object_unref(cancellable_);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  GCancellable* cancellable() const { return cancellable_; }
  bool expired() const { return g_cancellable_is_cancelled(cancellable_); }
  std::chrono::milliseconds limit() const { return limit_; }

 private:
  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, limit_, [this] { return done_; })) {
      g_cancellable_cancel(cancellable_);
    }
  }

  const std::chrono::milliseconds limit_;
  GCancellable* const cancellable_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::thread watcher_;  // last: starts once the rest is ready
};

}  // namespace

struct SecretServiceKeychain::State {
  explicit State(std::chrono::milliseconds limit) : deadline(limit) {}
  ~State() {
    collection.reset();
    service.reset();
  }

  // The one place where GLib's and libsecret's errors become statuses.
  Status statusOf(const GError* error) const {
    if (error == nullptr)
      return Status::internal("the Secret Service call failed without a reason");
    if (deadline.expired() || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
      return Status::timeout("the Secret Service did not answer within " +
                             std::to_string(deadline.limit().count()) + " ms");
    }
    const std::string message = std::string("Secret Service: ") + error->message;
    if (error->domain == SECRET_ERROR) {
      switch (error->code) {
        case SECRET_ERROR_IS_LOCKED:
          return lockedStatus();
        case SECRET_ERROR_NO_SUCH_OBJECT:
          return Status::notFound(message);
        case SECRET_ERROR_ALREADY_EXISTS:
          return Status::alreadyExists(message);
        default:
          return Status::ioError(message);
      }
    }
    if (error->domain == G_DBUS_ERROR) {
      switch (error->code) {
        case G_DBUS_ERROR_DISCONNECTED:
          return Status::network(message);
        case G_DBUS_ERROR_TIMEOUT:
        case G_DBUS_ERROR_TIMED_OUT:
        case G_DBUS_ERROR_NO_REPLY:
          return Status::timeout(message);
        case G_DBUS_ERROR_ACCESS_DENIED:
        case G_DBUS_ERROR_AUTH_FAILED:
          return Status::permissionDenied(message);
        case G_DBUS_ERROR_INVALID_ARGS:
          return Status::invalidArgument(message);
        default:
          // No server, no such name, a service that failed to start, a bad address.
          return Status::unavailable(message);
      }
    }
    if (error->domain == G_IO_ERROR) {
      switch (error->code) {
        case G_IO_ERROR_TIMED_OUT:
          return Status::timeout(message);
        case G_IO_ERROR_PERMISSION_DENIED:
          return Status::permissionDenied(message);
        case G_IO_ERROR_CLOSED:
        case G_IO_ERROR_CONNECTION_CLOSED:  // also a broken pipe
          return Status::network(message);
        case G_IO_ERROR_NOT_CONNECTED:
        case G_IO_ERROR_CONNECTION_REFUSED:
        case G_IO_ERROR_NOT_FOUND:
        case G_IO_ERROR_INVALID_ARGUMENT:
          return Status::unavailable(message);
        default:
          return Status::ioError(message);
      }
    }
    return Status::ioError(message);
  }

  // The status of a failed call that set `error` (which it frees).
  Status takeError(GError* error) const {
    GErrorPtr holder(error);
    return statusOf(error);
  }

  // Our items matching `query`. Locked items are an error: reading or changing
  // them would need an unlock prompt.
  Result<GListPtr> search(const SecItemDictionary& query, bool withData) const {
    GHashTablePtr attributes = attributesFor(query);
    GError* error = nullptr;
    const auto flags = static_cast<SecretSearchFlags>(
        SECRET_SEARCH_ALL | (withData ? SECRET_SEARCH_LOAD_SECRETS : SECRET_SEARCH_NONE));
    GListPtr items(secret_service_search_sync(service.get(), &schema(), attributes.get(), flags,
                                              deadline.cancellable(), &error));
    if (error != nullptr) return takeError(error);
    for (GList* at = items.get(); at != nullptr; at = at->next) {
      if (secret_item_get_locked(static_cast<SecretItem*>(at->data))) return lockedStatus();
    }
    return items;
  }

  Deadline deadline;
  GObjectPtr<GDBusConnection> connection;
  GObjectPtr<SecretService> service;
  GObjectPtr<SecretCollection> collection;  // the default one, where items are added
};

namespace {

// The attribute `name` of an item's attribute table, if present.
std::optional<std::string> attribute(GHashTable* attributes, const char* name) {
  const auto* value = static_cast<const char*>(g_hash_table_lookup(attributes, name));
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

KeychainItem itemOf(SecretItem* secretItem, bool withData) {
  KeychainItem item;
  GHashTablePtr attributes(secret_item_get_attributes(secretItem));
  item.service = attribute(attributes.get(), "service").value_or("");
  item.account = attribute(attributes.get(), "account").value_or("");
  item.label = attribute(attributes.get(), "label");
  if (withData) {
    if (SecretValuePtr value{secret_item_get_secret(secretItem)}) {
      gsize length = 0;
      const gchar* bytes = secret_value_get(value.get(), &length);
      item.data = std::string(bytes, length);
    }
  }
  return item;
}

SecretValuePtr secretValueOf(const std::optional<std::string>& data) {
  const std::string& bytes = data ? *data : std::string();
  return SecretValuePtr(
      secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "text/plain"));
}

// Whether a bus name is owned, or can be started by the bus on first call.
Result<bool> busOffers(GDBusConnection* connection, const char* name, GCancellable* cancellable,
                       const SecretServiceKeychain::State& state) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, -1,
      cancellable, &error);
  if (reply == nullptr) return state.takeError(error);
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  if (owned) return true;

  reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus", "ListActivatableNames", nullptr,
                                      G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, -1,
                                      cancellable, &error);
  if (reply == nullptr) return state.takeError(error);
  bool activatable = false;
  GVariantIter* names = nullptr;
  g_variant_get(reply, "(as)", &names);
  const gchar* each = nullptr;
  while (g_variant_iter_loop(names, "&s", &each)) {
    if (g_strcmp0(each, name) == 0) activatable = true;
  }
  g_variant_iter_free(names);
  g_variant_unref(reply);
  return activatable;
}

}  // namespace

std::optional<std::string> SecretServiceKeychain::sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return std::string(address);
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return std::nullopt;
  const std::string socket = std::string(runtime) + "/bus";
  struct stat info {};
  if (::stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
  if (libSecretMissing()) return std::nullopt;  // no library, no way to use the bus
  gchar* escaped = g_dbus_address_escape_value(socket.c_str());
  std::string address = std::string("unix:path=") + escaped;
  g_free(escaped);
  return address;
}

SecretServiceKeychain::SecretServiceKeychain(std::unique_ptr<State> state)
    : state_(std::move(state)) {}
SecretServiceKeychain::~SecretServiceKeychain() = default;

Result<std::unique_ptr<SecretServiceKeychain>> SecretServiceKeychain::open() {
  const auto address = sessionBusAddress();
  if (!address) {
    return Status::unavailable("no session bus (DBUS_SESSION_BUS_ADDRESS is not set)");
  }
  if (auto missing = libSecretMissing()) return *missing;
  auto state = std::make_unique<State>(timeoutFromEnvironment());
  GCancellable* cancellable = state->deadline.cancellable();
  GError* error = nullptr;
  // The process's shared session connection (libsecret's proxies use it). It
  // must not end the process when the bus goes away; once every holder has let
  // it go, the next call connects afresh, to the address the environment names.
  state->connection.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &error));
  if (!state->connection) return state->takeError(error);
  g_dbus_connection_set_exit_on_close(state->connection.get(), FALSE);
  if (g_dbus_connection_is_closed(state->connection.get())) {
    // The bus this process was using has gone: an error, not a reason to
    // switch stores in the middle of a run.
    return Status::network("the session bus has gone away");
  }

  const Result<bool> offered =
      busOffers(state->connection.get(), kServiceBusName, cancellable, *state);
  if (!offered.ok()) return offered.status();
  if (!*offered) return Status::unavailable("no Secret Service on the session bus");

  // A service object of our own, not libsecret's process-wide one, so that it
  // never outlives the bus it was made on.
  state->service.reset(secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE,
                                                cancellable, &error));
  if (!state->service) return state->takeError(error);

  // Without a default collection there is nowhere to add items, and making one
  // would need a prompt: such a service is no place for the credentials.
  state->collection.reset(
      secret_collection_for_alias_sync(state->service.get(), SECRET_COLLECTION_DEFAULT,
                                       SECRET_COLLECTION_NONE, cancellable, &error));
  if (error != nullptr) return state->takeError(error);
  if (!state->collection) {
    return Status::unavailable("the Secret Service has no default collection");
  }
  return std::unique_ptr<SecretServiceKeychain>(new SecretServiceKeychain(std::move(state)));
}

std::string SecretServiceKeychain::location() const {
  return "the Secret Service's default collection";
}

Result<std::vector<KeychainItem>> SecretServiceKeychain::find(const SecItemDictionary& query,
                                                              bool withData) {
  auto found = state_->search(query, withData);
  if (!found.ok()) return found.status();
  std::vector<KeychainItem> items;
  for (GList* at = found->get(); at != nullptr; at = at->next) {
    items.push_back(itemOf(static_cast<SecretItem*>(at->data), withData));
  }
  return items;
}

Status SecretServiceKeychain::add(const KeychainItem& item) {
  auto existing = state_->search(identityOf(item), false);
  if (!existing.ok()) return existing.status();
  if (*existing) {
    return Status::alreadyExists("the keychain already holds an item with this identity");
  }
  SecretCollection* collection = state_->collection.get();
  if (secret_collection_get_locked(collection)) return lockedStatus();

  const SecItemDictionary fields = dictionaryOf(item);
  GHashTablePtr attributes = attributesFor(fields);
  SecretValuePtr value = secretValueOf(item.data);
  GError* error = nullptr;
  // Replacing an item with the very same attributes keeps two processes that
  // add the same item at once from leaving two copies.
  GObjectPtr<SecretItem> created(secret_item_create_sync(
      collection, &schema(), attributes.get(), displayLabel(item.service, item.account).c_str(),
      value.get(), SECRET_ITEM_CREATE_REPLACE, state_->deadline.cancellable(), &error));
  if (!created) return state_->takeError(error);
  return Status::OK();
}

Result<std::size_t> SecretServiceKeychain::update(const SecItemDictionary& query,
                                                  const SecItemDictionary& change) {
  auto found = state_->search(query, false);
  if (!found.ok()) return found.status();
  GCancellable* cancellable = state_->deadline.cancellable();
  const bool renames = change.service || change.account;
  std::size_t changed = 0;
  for (GList* at = found->get(); at != nullptr; at = at->next) {
    auto* secretItem = static_cast<SecretItem*>(at->data);
    KeychainItem item = itemOf(secretItem, false);
    if (change.service) item.service = *change.service;
    if (change.account) item.account = *change.account;
    if (change.label) item.label = *change.label;
    if (renames) {
      auto clash = state_->search(identityOf(item), false);
      if (!clash.ok()) return clash.status();
      for (GList* other = clash->get(); other != nullptr; other = other->next) {
        if (g_strcmp0(g_dbus_proxy_get_object_path(G_DBUS_PROXY(other->data)),
                      g_dbus_proxy_get_object_path(G_DBUS_PROXY(secretItem))) != 0) {
          return Status::alreadyExists("the keychain already holds an item with this identity");
        }
      }
    }
    GError* error = nullptr;
    if (change.valueData) {
      SecretValuePtr value = secretValueOf(change.valueData);
      if (!secret_item_set_secret_sync(secretItem, value.get(), cancellable, &error)) {
        return state_->takeError(error);
      }
    }
    if (renames || change.label) {
      const SecItemDictionary fields = dictionaryOf(item);
      GHashTablePtr attributes = attributesFor(fields);
      if (!secret_item_set_attributes_sync(secretItem, &schema(), attributes.get(), cancellable,
                                           &error) ||
          !secret_item_set_label_sync(secretItem, displayLabel(item.service, item.account).c_str(),
                                      cancellable, &error)) {
        return state_->takeError(error);
      }
    }
    ++changed;
  }
  return changed;
}

Result<std::size_t> SecretServiceKeychain::remove(const SecItemDictionary& query) {
  auto found = state_->search(query, false);
  if (!found.ok()) return found.status();
  std::size_t removed = 0;
  for (GList* at = found->get(); at != nullptr; at = at->next) {
    GError* error = nullptr;
    if (!secret_item_delete_sync(static_cast<SecretItem*>(at->data), state_->deadline.cancellable(),
                                 &error)) {
      return state_->takeError(error);
    }
    ++removed;
  }
  return removed;
}

}  // namespace nb::internal
