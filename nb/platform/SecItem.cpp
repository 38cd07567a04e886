#include "nb/platform/SecItem.h"

#include <utility>

#include "nb/platform/internal/KeychainBackend.h"

namespace nb {
namespace {

thread_local Status lastStatus;
thread_local SecItemSession* currentSession = nullptr;

// The one place where the stores' statuses become keychain statuses.
OSStatus osStatusOf(const Status& status) {
  switch (status.code()) {
    case StatusCode::kOk:
      return errSecSuccess;
    case StatusCode::kAlreadyExists:
      return errSecDuplicateItem;
    case StatusCode::kNotFound:
      return errSecItemNotFound;
    case StatusCode::kInvalidArgument:
      return errSecParam;
    case StatusCode::kPermissionDenied:
      return errSecInteractionNotAllowed;
    case StatusCode::kUnavailable:
    case StatusCode::kTimeout:
    case StatusCode::kNetwork:
      return errSecNotAvailable;
    default:
      return errSecIO;
  }
}

// Records the detailed outcome and returns its keychain status.
OSStatus finish(Status status) {
  lastStatus = std::move(status);
  return osStatusOf(lastStatus);
}

Status notFound() { return Status::notFound("no keychain item matches"); }

Status missingClass() { return Status::invalidArgument("the query lacks the item class"); }

}  // namespace

// The store for one call: the session's (opened at its first call) or a
// store of the call's own.
class SecItemSessionAccess {
 public:
  class Store {
   public:
    explicit Store(std::unique_ptr<internal::KeychainBackend> own) : own_(std::move(own)) {}
    explicit Store(internal::KeychainBackend* shared) : shared_(shared) {}
    internal::KeychainBackend* operator->() const { return shared_ ? shared_ : own_.get(); }

   private:
    std::unique_ptr<internal::KeychainBackend> own_;
    internal::KeychainBackend* shared_ = nullptr;
  };

  static Result<Store> open() {
    SecItemSession* session = currentSession;
    if (session == nullptr) {
      auto backend = internal::openKeychainBackend();
      if (!backend.ok()) return backend.status();
      return Store(std::move(*backend));
    }
    while (session->outer_ != nullptr) session = session->outer_;
    if (!session->backend_) {
      // A store that cannot be opened is tried again at the next call.
      auto backend = internal::openKeychainBackend();
      if (!backend.ok()) return backend.status();
      session->backend_ = std::move(*backend);
    }
    return Store(session->backend_.get());
  }
};

namespace {
Result<SecItemSessionAccess::Store> openStore() { return SecItemSessionAccess::open(); }
}  // namespace

SecItemSession::SecItemSession() : outer_(currentSession) { currentSession = this; }

SecItemSession::~SecItemSession() { currentSession = outer_; }

Status SecItemLastStatus() { return lastStatus; }

OSStatus SecItemCopyMatching(const SecItemDictionary& query, SecItemResult* result) {
  if (!query.itemClass) return finish(missingClass());
  auto backend = openStore();
  if (!backend.ok()) return finish(backend.status());
  auto items = (*backend)->find(query, query.returnData);
  if (!items.ok()) return finish(items.status());
  if (items->empty()) return finish(notFound());
  if (result != nullptr) {
    const internal::KeychainItem& item = items->front();
    *result = {};
    if (query.returnAttributes) {
      result->service = item.service;
      result->label = item.label;
      result->account = item.account;
    }
    if (query.returnData) result->valueData = item.data;
  }
  return finish(Status::OK());
}

OSStatus SecItemAdd(const SecItemDictionary& attributes) {
  if (!attributes.itemClass) return finish(missingClass());
  auto backend = openStore();
  if (!backend.ok()) return finish(backend.status());
  return finish((*backend)->add({attributes.service.value_or(""), attributes.account.value_or(""),
                                 attributes.label, attributes.valueData}));
}

OSStatus SecItemUpdate(const SecItemDictionary& query,
                       const SecItemDictionary& attributesToUpdate) {
  const bool changesSomething = attributesToUpdate.valueData || attributesToUpdate.service ||
                                attributesToUpdate.account || attributesToUpdate.label;
  if (!query.itemClass) return finish(missingClass());
  if (!changesSomething) return finish(Status::invalidArgument("the update changes nothing"));
  auto backend = openStore();
  if (!backend.ok()) return finish(backend.status());
  auto changed = (*backend)->update(query, attributesToUpdate);
  if (!changed.ok()) return finish(changed.status());
  return finish(*changed == 0 ? notFound() : Status::OK());
}

OSStatus SecItemDelete(const SecItemDictionary& query) {
  if (!query.itemClass) return finish(missingClass());
  auto backend = openStore();
  if (!backend.ok()) return finish(backend.status());
  auto removed = (*backend)->remove(query);
  if (!removed.ok()) return finish(removed.status());
  return finish(*removed == 0 ? notFound() : Status::OK());
}

Result<SecKeychainStore> SecKeychainCurrentStore() {
  auto backend = openStore();
  if (!backend.ok()) return backend.status();
  return SecKeychainStore{(*backend)->name(), (*backend)->location()};
}

}  // namespace nb
