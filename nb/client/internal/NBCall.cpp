#include "nb/client/internal/NBCall.h"

#include <utility>
#include <vector>

#include "nb/operations/NBFileServiceOperation.h"

namespace nb::internal {
namespace {

// One reading of a credential source: the pair it gave, shared, not copied.
class CredentialReading final : public NBCredentialSource {
 public:
  CredentialReading(std::shared_ptr<NBConsumer> consumer, std::shared_ptr<NBToken> token)
      : consumer_(std::move(consumer)), token_(std::move(token)) {}
  std::shared_ptr<NBConsumer> consumer() const override { return consumer_; }
  std::shared_ptr<NBToken> token() const override { return token_; }

 private:
  const std::shared_ptr<NBConsumer> consumer_;
  const std::shared_ptr<NBToken> token_;
};

}  // namespace

void NBCall::start(std::shared_ptr<NBCallLoop> loop,
                   std::shared_ptr<NBCredentialSource> credentials, Factory make,
                   NBCallOptions options, Completion done, Delivery delivery) {
  auto call = std::make_shared<NBCall>(loop, std::move(credentials), std::move(make),
                                       std::move(options), std::move(done), delivery);
  if (call->options_.cancel.stop_possible()) {
    // Runs on the thread that requests the stop (or here, when it already
    // has): the outcome itself is decided on the loop.
    std::weak_ptr<NBCall> weak = call;
    NBCallLoop* rawLoop = loop.get();
    call->onCancel_.emplace(call->options_.cancel, std::function<void()>([weak, rawLoop] {
                              rawLoop->post([weak] {
                                if (auto self = weak.lock()) {
                                  self->finish(Status::cancelled("the call was cancelled"));
                                }
                              });
                            }));
  }
  loop->post([call] { call->begin(); });
}

NBCall::NBCall(std::shared_ptr<NBCallLoop> loop, std::shared_ptr<NBCredentialSource> credentials,
               Factory make, NBCallOptions options, Completion done, Delivery delivery)
    : loop_(std::move(loop)),
      credentials_(std::move(credentials)),
      make_(std::move(make)),
      options_(std::move(options)),
      done_(std::move(done)),
      delivery_(delivery) {}

void NBCall::begin() {
  if (finished_) return;  // cancelled before it started
  if (options_.cancel.stop_requested()) {
    finish(Status::cancelled("the call was cancelled"));
    return;
  }
  self_ = shared_from_this();
  std::shared_ptr<NBOperation> operation = make_(this);
  make_ = nullptr;
  if (!operation) {
    finish(Status::internal("no operation was made for the call"));
    return;
  }
  if (auto* fileOperation = dynamic_cast<NBFileServiceOperation*>(operation.get())) {
    // One reading of the source for the whole call: every request of it
    // signs with the same pair, and a missing token is an answer, not silence.
    const std::shared_ptr<NBToken> token = credentials_->token();
    if (!token) {
      finish(Status::unauthenticated("no access token is stored; sign in first"));
      return;
    }
    fileOperation->setCredentialSource(
        std::make_shared<CredentialReading>(credentials_->consumer(), token));
  }
  operation_ = operation;
  // Only a call with an idle time-out reads the clock for it.
  if (options_.idleTimeout.count() > 0) {
    lastActivity_ = Clock::now();
    armIdleTimer(options_.idleTimeout);
  }
  operation->executeOperation();  // `operation` keeps it alive if it reports at once
}

void NBCall::operationSuccess(NBOperation* operation, const NBResult& result) {
  if (operation != operation_.get()) return;
  finish(result);
}

void NBCall::operationFail(NBOperation* operation, const std::string& /*message*/) {
  if (operation != operation_.get()) return;
  finish(operation->failureStatus());  // its message is the text the delegate got
}

void NBCall::operationTotalBytesWritten(NBOperation* operation, std::int64_t totalBytesWritten,
                                        std::int64_t totalBytesExpectedToWrite) {
  if (operation != operation_.get() || finished_) return;
  if (options_.idleTimeout.count() > 0) lastActivity_ = Clock::now();
  if (options_.progress) options_.progress(totalBytesWritten, totalBytesExpectedToWrite);
}

void NBCall::armIdleTimer(std::chrono::milliseconds delay) {
  idleTimer_ = loop_->runLoop().addTimer(delay, false, [this] { checkIdle(); });
}

void NBCall::checkIdle() {
  idleTimer_ = RunLoop::TimerHandle();
  if (finished_) return;
  const auto idle =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity_);
  if (idle >= options_.idleTimeout) {
    finish(Status::timeout("no answer from the service within " +
                           std::to_string(options_.idleTimeout.count()) + " ms"));
  } else {
    armIdleTimer(options_.idleTimeout - idle);
  }
}

namespace {

// Calls whose outcome this thread decided and has not delivered yet.
thread_local std::vector<std::shared_ptr<NBCall>> tDecided;

}  // namespace

void NBCall::finish(Result<NBResult> outcome) {
  if (finished_) return;
  finished_ = true;
  idleTimer_.cancel();
  // A failure may leave a refused transfer running, and cancellation and
  // time-out stop one that is: no delegate call may follow this outcome.
  if (operation_ && !outcome.ok()) operation_->cancelOperation();
  if (delivery_ == Delivery::kAtOnce) {
    std::exchange(done_, nullptr)(std::move(outcome));
  } else {
    outcome_.emplace(std::move(outcome));
  }
  // The call and its operation are released, and an outcome that waits is
  // delivered, from a task after the loop's pass (we may be inside the
  // operation's callback); the calls decided in one pass share that task.
  tDecided.push_back(shared_from_this());  // keeps the call alive until then
  self_.reset();
  if (tDecided.size() == 1) loop_->post(&NBCall::deliverDecided);
}

void NBCall::deliverDecided() {
  std::vector<std::shared_ptr<NBCall>> batch;
  batch.swap(tDecided);
  for (const std::shared_ptr<NBCall>& call : batch) {
    call->operation_.reset();
    if (!call->outcome_) continue;  // delivered at once
    Result<NBResult> outcome = std::move(*call->outcome_);
    call->outcome_.reset();
    std::exchange(call->done_, nullptr)(std::move(outcome));
  }
}

}  // namespace nb::internal
