// NBClient runs the library's operations for programs without a run loop of
// their own: every operation has a blocking form (call), a std::future form
// (callFuture) and a coroutine form (co_await callAwaitable), each returning
// the operation's value or the Status that explains its absence. They are
// built on the operations and their delegates: each call makes the operation,
// acts as its delegate and turns the one outcome into the return value.
//
// Calls run on a run loop that the library owns: one worker thread shared by
// all clients alive at a time, never a loop of the application's. A client is
// usable from any thread and from many at once; it may be destroyed while its
// calls run (they finish on their own).
//
// Credentials: file operations sign with the client's NBCredentialSource,
// read once when each call starts (default: the keychain, through NBAPIInfo,
// as the operations do); with no access token the call fails at once with
// kUnauthenticated. Sign-in operations use their item's consumer, or the
// source's consumer when the item has none.
//
// A blocking call made on the client's loop thread (in a progress callback or
// after a co_await) or inside any operation's delegate callback would stall
// the loop that has to deliver its outcome: it is refused with
// kInvalidArgument instead of deadlocking.
#pragma once

#include <future>
#include <memory>
#include <type_traits>
#include <utility>

#include "nb/Private/NBCredentialSource.h"
#include "nb/Private/NBOperation.h"
#include "nb/Private/NBResult.h"
#include "nb/Status.h"
#include "nb/client/NBCallAwaitable.h"
#include "nb/client/NBCallOptions.h"
#include "nb/client/NBCallTraits.h"
#include "nb/operations/NBSignInOperation.h"

namespace nb {

namespace internal {
class NBCallLoop;
}  // namespace internal

class NBClient {
 public:
  // Makes the call's operation with `delegate` as its delegate (on the loop).
  using OperationFactory = std::function<std::shared_ptr<NBOperation>(NBOperationDelegate*)>;
  // Receives a call's outcome once, on the loop thread.
  using Completion = std::function<void(Result<NBResult>)>;

  // Credentials from the keychain (NBCredentialSource::keychain()).
  NBClient();
  // Credentials from `credentials`; the keychain is not touched unless it is
  // the keychain source. Null means the keychain.
  explicit NBClient(std::shared_ptr<NBCredentialSource> credentials);
  ~NBClient();
  NBClient(const NBClient&) = default;
  NBClient& operator=(const NBClient&) = default;

  const std::shared_ptr<NBCredentialSource>& credentialSource() const { return credentials_; }

  // ---- Typed forms: Op is an operation class (NBGetUserInfoOperation, ...).
  // A null item is a default one. The item is shared with the operation:
  // leave it unchanged until the outcome.

  // Blocks until the outcome.
  template <class Op>
  NBCallOutcome<Op> call(std::shared_ptr<NBCallItem<Op>> item = nullptr,
                         NBCallOptions options = {}) const {
    if (Status refused = blockingRefusal(); !refused.ok()) return refused;
    return callFuture<Op>(std::move(item), std::move(options)).get();
  }
  // Returns at once; the future holds the outcome. Do not wait on it on the
  // client's loop thread.
  template <class Op>
  std::future<NBCallOutcome<Op>> callFuture(std::shared_ptr<NBCallItem<Op>> item = nullptr,
                                            NBCallOptions options = {}) const {
    auto promise = std::make_shared<std::promise<NBCallOutcome<Op>>>();
    auto future = promise->get_future();
    startFulfilling(factoryFor<Op>(std::move(item)), std::move(options),
                    [promise](Result<NBResult> raw) {
                      promise->set_value(internal::outcomeOf<Op>(std::move(raw)));
                    });
    return future;
  }
  // co_await it; see NBCallAwaitable.
  template <class Op>
  NBCallAwaitable<NBCallOutcome<Op>> callAwaitable(std::shared_ptr<NBCallItem<Op>> item = nullptr,
                                                   NBCallOptions options = {}) const {
    NBClient self = *this;
    return NBCallAwaitable<NBCallOutcome<Op>>(
        [self, make = factoryFor<Op>(std::move(item)),
         options = std::move(options)](std::function<void(NBCallOutcome<Op>)> resume) mutable {
          self.start(std::move(make), std::move(options),
                     [resume = std::move(resume)](Result<NBResult> raw) {
                       resume(internal::outcomeOf<Op>(std::move(raw)));
                     });
        });
  }

  // ---- Untyped forms, for an operation made by the caller (a subclass of
  // the application's, or one whose result it reads itself): the outcome is
  // the NBResult the operation sent to operationSuccess.

  Result<NBResult> call(OperationFactory make, NBCallOptions options = {}) const;
  std::future<Result<NBResult>> callFuture(OperationFactory make, NBCallOptions options = {}) const;
  NBCallAwaitable<Result<NBResult>> callAwaitable(OperationFactory make,
                                                  NBCallOptions options = {}) const;
  // The primitive under every form: starts the call and returns at once;
  // `done` receives the outcome once, on the client's loop thread, outside
  // every operation callback. Any thread.
  void start(OperationFactory make, NBCallOptions options, Completion done) const;

  // Why a blocking call cannot be made on this thread now, or ok.
  static Status blockingRefusal();

 private:
  // start() for a completion that only hands the outcome over (fulfils a
  // promise) and runs no code of the caller's: it gets the outcome as soon as
  // it is decided, even inside an operation callback, so that a waiting
  // thread is not held up by the rest of the loop's pass.
  void startFulfilling(OperationFactory make, NBCallOptions options, Completion fulfil) const;

  // Makes an Op for `item`; a sign-in item without a consumer is copied and
  // given the source's.
  template <class Op>
  OperationFactory factoryFor(std::shared_ptr<NBCallItem<Op>> item) const {
    using Item = NBCallItem<Op>;
    if (!item) item = std::make_shared<Item>();
    return [item = std::move(item), credentials = credentials_](
               NBOperationDelegate* delegate) -> std::shared_ptr<NBOperation> {
      std::shared_ptr<Item> used = item;
      if constexpr (std::is_base_of_v<NBSignInOperation, Op>) {
        if (!used->consumer) {
          used = std::make_shared<Item>(*item);
          used->consumer = credentials->consumer();
        }
      }
      return std::make_shared<Op>(delegate, std::move(used));
    };
  }

  std::shared_ptr<NBCredentialSource> credentials_;
  std::shared_ptr<internal::NBCallLoop> loop_;
};

}  // namespace nb
