// Fetches COUNT URLs (BASE?n=0 ... BASE?n=COUNT-1) with PARALLEL requests in
// flight, each through a file-service operation as an application's call runs:
// planned, signed with a fresh nonce and timestamp, sent, its reply checked for
// a service error and handed to the delegate. Prints the wall time and the
// process's peak memory. FORM "delegate" (the default) runs the
// operations on this thread's run loop with a delegate; "future" runs them
// through NBClient's future form, PARALLEL futures outstanding.
//   bench_transport BASE_URL COUNT PARALLEL [delegate|future]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <string>

#include "nb/Private/NBCredentialSource.h"
#include "nb/Observability.h"
#include "nb/client/NBClient.h"
#include "nb/operations/NBFileServiceOperation.h"
#include "nb/platform/RunLoop.h"

namespace {

// The pair every request signs with (the server does not check it).
std::shared_ptr<nb::NBCredentialSource> benchCredentials() {
  return nb::NBCredentialSource::fixed(
      nb::NBConsumer("bench-consumer-key", "bench-consumer-secret"),
      nb::NBToken("bench-access-token", "bench-token-secret"));
}

// One signed GET of BASE?n=N; the body, checked for a service error by the
// base class, is the result.
class FetchOperation : public nb::NBFileServiceOperation {
 public:
  FetchOperation(nb::NBOperationDelegate* delegate, const std::string& base, int n)
      : NBFileServiceOperation(delegate, std::make_shared<nb::NBOperationItem>()),
        base_(base),
        n_(std::to_string(n)) {}

  nb::Result<nb::NBServiceRequest> serviceRequest() const override {
    return nb::NBServiceRequest{base_, {{"n", n_}}};
  }
  nb::Result<nb::NBResult> resultFromReply(const std::optional<std::string>& body) const override {
    if (!body) return nb::Status::internal("no reply body");
    return nb::NBResult::text(*body);
  }

 private:
  std::string base_;
  std::string n_;
};

// Keeps PARALLEL operations running until COUNT have ended.
class Driver : public nb::NBOperationDelegate {
 public:
  Driver(std::string base, int count) : base_(std::move(base)), count_(count) {}

  void startNext() {
    if (started_ == count_) return;
    auto operation = std::make_shared<FetchOperation>(this, base_, started_++);
    operation->setCredentialSource(credentials_);
    operation->executeOperation();  // the running request owns it from here
  }
  void operationSuccess(nb::NBOperation*, const nb::NBResult& result) override {
    if (result.textValue() != nullptr && !result.textValue()->empty()) ++succeeded_;
    end();
  }
  void operationFail(nb::NBOperation*, const std::string& message) override {
    if (failed_++ == 0) std::fprintf(stderr, "first failure: %s\n", message.c_str());
    end();
  }
  bool done() const { return succeeded_ + failed_ == count_; }
  int succeeded() const { return succeeded_; }
  int failed() const { return failed_; }

 private:
  void end() { startNext(); }

  std::string base_;
  std::shared_ptr<nb::NBCredentialSource> credentials_ = benchCredentials();
  int count_;
  int started_ = 0, succeeded_ = 0, failed_ = 0;
};

struct Tally {
  bool finished = false;
  int succeeded = 0, failed = 0;
};

Tally runDelegates(const std::string& base, int count, int parallel) {
  Driver driver(base, count);
  nb::RunLoop& loop = nb::RunLoop::current();
  for (int i = 0; i < parallel; ++i) driver.startNext();
  const bool finished =
      loop.runUntil([&] { return driver.done(); }, std::chrono::milliseconds(600000));
  return {finished, driver.succeeded(), driver.failed()};
}

// Keeps PARALLEL futures outstanding: waits for the oldest, then starts one more.
Tally runFutures(const std::string& base, int count, int parallel) {
  const nb::NBClient client(benchCredentials());
  Tally tally;
  std::deque<std::future<nb::Result<nb::NBResult>>> outstanding;
  int started = 0;
  const auto startNext = [&] {
    outstanding.push_back(client.callFuture([&base, n = started++](nb::NBOperationDelegate* d) {
      return std::make_shared<FetchOperation>(d, base, n);
    }));
  };
  while (started < count && static_cast<int>(outstanding.size()) < parallel) startNext();
  while (!outstanding.empty()) {
    const nb::Result<nb::NBResult> outcome = outstanding.front().get();
    outstanding.pop_front();
    if (outcome.ok() && outcome->textValue() != nullptr && !outcome->textValue()->empty()) {
      ++tally.succeeded;
    } else if (tally.failed++ == 0) {
      std::fprintf(stderr, "first failure: %s\n", outcome.status().toString().c_str());
    }
    if (started < count) startNext();
  }
  tally.finished = true;
  return tally;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s BASE_URL COUNT PARALLEL [delegate|future|sink]\n", argv[0]);
    return 2;
  }
  const int count = std::atoi(argv[2]);
  const int parallel = std::atoi(argv[3]);
  const bool future = argc == 5 && std::strcmp(argv[4], "future") == 0;
  // The delegate form with a log sink that takes every record and drops it:
  // what observing costs a call.
  if (argc == 5 && std::strcmp(argv[4], "sink") == 0) {
    nb::setLogSink([](const nb::LogRecord&) {}, nb::LogLevel::kDebug);
  }

  const auto start = std::chrono::steady_clock::now();
  const Tally tally =
      future ? runFutures(argv[1], count, parallel) : runDelegates(argv[1], count, parallel);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("seconds=%.4f peak_kib=%ld ok=%d failed=%d\n", seconds, usage.ru_maxrss,
              tally.succeeded, tally.failed);
  return tally.finished && tally.failed == 0 ? 0 : 1;
}
