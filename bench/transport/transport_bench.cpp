// Fetches COUNT URLs (BASE?n=0 ... BASE?n=COUNT-1) with PARALLEL requests in
// flight on one run loop, each through an NBNetworkOperation subclass, and
// prints the wall time and the process's peak memory.
//   bench_transport BASE_URL COUNT PARALLEL
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "nb/Private/NBNetworkOperation.h"
#include "nb/platform/RunLoop.h"

namespace {

// One GET; the body, checked for a service error by the base class, is the result.
class FetchOperation : public nb::NBNetworkOperation {
 public:
  FetchOperation(nb::NBOperationDelegate* delegate, std::string url)
      : NBNetworkOperation(delegate, std::make_shared<nb::NBOperationItem>()),
        url_(std::move(url)) {}

  void executeOperation() override { startConnection(nb::URLRequest::requestWithURL(url_)); }

 protected:
  void handleSuccessData(const std::optional<std::string>& data) override {
    if (data) reportSuccess(nb::NBResult::text(*data));
  }

 private:
  std::string url_;
};

// Keeps PARALLEL operations running until COUNT have ended.
class Driver : public nb::NBOperationDelegate {
 public:
  Driver(std::string base, int count) : base_(std::move(base)), count_(count) {}

  void startNext() {
    if (started_ == count_) return;
    auto operation =
        std::make_shared<FetchOperation>(this, base_ + "?n=" + std::to_string(started_++));
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
  int count_;
  int started_ = 0, succeeded_ = 0, failed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BASE_URL COUNT PARALLEL\n", argv[0]);
    return 2;
  }
  const int count = std::atoi(argv[2]);
  const int parallel = std::atoi(argv[3]);
  Driver driver(argv[1], count);
  nb::RunLoop& loop = nb::RunLoop::current();

  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < parallel; ++i) driver.startNext();
  const bool finished =
      loop.runUntil([&] { return driver.done(); }, std::chrono::milliseconds(600000));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("seconds=%.4f peak_kib=%ld ok=%d failed=%d\n", seconds, usage.ru_maxrss,
              driver.succeeded(), driver.failed());
  return finished && driver.failed() == 0 ? 0 : 1;
}
