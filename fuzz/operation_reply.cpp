// libFuzzer target for the reply handling of every operation: a fuzzed status,
// headers and body, cut into chunks and ended by success, a broken connection
// or a time-out, are played through the in-memory transport to one operation,
// which runs its whole procedure (every step of a multi-step call takes the
// same reply). Whatever arrives, the delegate hears exactly one outcome, the
// operation lets go of the transport, and nothing runs on afterwards.
// Built by fuzz/run with clang.
//
// Input: byte 0 picks the operation, bytes 1-2 the status, byte 3 where the
// body is cut and how the reply ends, byte 4 whether a Content-Length is sent
// (and whether it is true); the rest is the body.
#include <stdlib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "nb/Private/NBCredentialSource.h"
#include "nb/Private/NBNetworkOperation.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/internal/MemoryTransport.h"
#include "tests/support/OperationSamples.h"

namespace {

using namespace nb;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "operation_reply: %s\n", what);
    std::abort();
  }
}

struct Outcome : NBOperationDelegate {
  int calls = 0;
  void operationSuccess(NBOperation*, const NBResult&) override { ++calls; }
  void operationFail(NBOperation*, const std::string&) override { ++calls; }
};

// Statuses the operations' tables name, and a few they do not.
constexpr int kStatuses[] = {200, 201, 204, 206, 301, 302, 304, 400, 401, 403, 404, 406,
                             409, 411, 413, 415, 500, 502, 503, 507, 0,   99,  600, 999};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Downloads and stored sign-ins go to a folder of this run, never the user's.
  char pattern[] = "/tmp/nb-fuzz-reply-XXXXXX";
  const char* folder = ::mkdtemp(pattern);
  if (folder == nullptr) std::abort();
  ::setenv("NB_HOME", folder, 1);
  ::setenv("NB_DATA_HOME", (std::string(folder) + "/data").c_str(), 1);
  ::setenv("NB_KEYCHAIN", "file", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const auto& list = test::operationSamples();
  const std::size_t which = data[0] % list.size();
  const unsigned statusPick = (static_cast<unsigned>(data[1]) << 8) | data[2];
  const int status = statusPick < 0x8000 ? kStatuses[statusPick % std::size(kStatuses)]
                                         : static_cast<int>(statusPick % 1000);
  const std::string body(reinterpret_cast<const char*>(data) + 5, size - 5);

  MemoryReply reply;
  reply.status = status;
  switch (data[4] % 3) {
    case 0:
      break;  // no length
    case 1:
      reply.headers.emplace_back("Content-Length", std::to_string(body.size()));
      break;
    default:
      reply.headers.emplace_back("Content-Length", std::to_string(data[4]));
      break;
  }
  const std::size_t cut = body.empty() ? 0 : (data[3] >> 2) % (body.size() + 1);
  if (cut > 0) reply.chunks.push_back(body.substr(0, cut));
  if (cut < body.size()) reply.chunks.push_back(body.substr(cut));
  switch (data[3] & 3) {
    case 0:
    case 1:
      reply.ending = MemoryReply::Ending::kFinish;
      break;
    case 2:
      reply.ending = MemoryReply::Ending::kNetworkFailure;
      break;
    default:
      reply.ending = MemoryReply::Ending::kTimeOut;
      break;
  }

  auto transport = std::make_shared<MemoryTransport>();
  transport->setResponder([&reply, transport = transport.get()](const URLRequest&) {
    // Every step takes the fuzzed reply; a flow that keeps asking is cut off.
    if (transport->requests().size() > 8) {
      return MemoryReply::failure(MemoryReply::Ending::kNetworkFailure);
    }
    return reply;
  });

  Outcome outcome;
  {
    std::shared_ptr<NBNetworkOperation> operation =
        list[which].make(&outcome, std::make_shared<NBConsumer>("ck", "cs"), "/fuzz");
    operation->setTransport(transport);
    operation->setCredentialSource(
        NBCredentialSource::fixed(NBConsumer("ck", "cs"), NBToken("tk", "ts")));
    std::weak_ptr<NBNetworkOperation> weak = operation;
    operation->executeOperation();
    operation.reset();  // a running request keeps it alive until its end
    RunLoop& loop = RunLoop::current();
    loop.runUntil([&] { return weak.expired(); }, std::chrono::seconds(5));
    check(weak.expired(), "the operation is still held after its requests ended");
    // Anything still posted would be a late callback.
    loop.runUntil([] { return false; }, std::chrono::milliseconds(0));
  }
  check(transport->running() == 0, "a request is still running");
  check(outcome.calls == 1, outcome.calls == 0 ? "no outcome" : "more than one outcome");
  return 0;
}
