#include "nb/client/NBClient.h"

#include "nb/client/NBTask.h"
#include "nb/client/internal/NBCall.h"
#include "nb/client/internal/NBCallLoop.h"

namespace nb {

namespace internal {
bool onClientLoopThread() { return NBCallLoop::isLoopThread(); }
}  // namespace internal

NBClient::NBClient() : NBClient(nullptr) {}

NBClient::NBClient(std::shared_ptr<NBCredentialSource> credentials)
    : credentials_(credentials ? std::move(credentials) : NBCredentialSource::keychain()),
      loop_(internal::NBCallLoop::shared()) {}

NBClient::~NBClient() = default;

Status NBClient::blockingRefusal() {
  if (internal::NBCallLoop::isLoopThread()) {
    return Status::invalidArgument(
        "a blocking call cannot be made on the client's loop thread (in a progress callback or "
        "after co_await): it would wait for itself; use co_await or the future form");
  }
  if (NBOperation::isInsideDelegateCall()) {
    return Status::invalidArgument(
        "a blocking call cannot be made inside an operation's delegate callback: it would stall "
        "the run loop delivering it; use the future or coroutine form");
  }
  return Status::OK();
}

void NBClient::start(OperationFactory make, NBCallOptions options, Completion done) const {
  internal::NBCall::start(loop_, credentials_, std::move(make), std::move(options),
                          std::move(done));
}

void NBClient::startFulfilling(OperationFactory make, NBCallOptions options,
                               Completion fulfil) const {
  internal::NBCall::start(loop_, credentials_, std::move(make), std::move(options),
                          std::move(fulfil), internal::NBCall::Delivery::kAtOnce);
}

Result<NBResult> NBClient::call(OperationFactory make, NBCallOptions options) const {
  if (Status refused = blockingRefusal(); !refused.ok()) return refused;
  return callFuture(std::move(make), std::move(options)).get();
}

std::future<Result<NBResult>> NBClient::callFuture(OperationFactory make,
                                                   NBCallOptions options) const {
  auto promise = std::make_shared<std::promise<Result<NBResult>>>();
  auto future = promise->get_future();
  startFulfilling(std::move(make), std::move(options),
                  [promise](Result<NBResult> outcome) { promise->set_value(std::move(outcome)); });
  return future;
}

NBCallAwaitable<Result<NBResult>> NBClient::callAwaitable(OperationFactory make,
                                                          NBCallOptions options) const {
  NBClient self = *this;
  return NBCallAwaitable<Result<NBResult>>(
      [self, make = std::move(make),
       options = std::move(options)](std::function<void(Result<NBResult>)> resume) mutable {
        self.start(std::move(make), std::move(options), std::move(resume));
      });
}

}  // namespace nb
