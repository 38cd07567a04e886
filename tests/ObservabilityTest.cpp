// What an application sees of the library's calls: log records, observer
// events and counters, for a table of calls (success, service refusal,
// network failure, cancel), with no secret in anything handed over.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "nb/Observability.h"
#include "nb/Private/NBCredentialSource.h"
#include "nb/operations/NBGetUserInfoOperation.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/internal/MemoryTransport.h"
#include "nb/version.h"

namespace nb {
namespace {

using namespace std::chrono_literals;

constexpr const char* kConsumerSecret = "consumer-secret-4711";
constexpr const char* kTokenSecret = "token-secret-0815";
constexpr const char* kToken = "token-key-1234";

struct Outcome : NBOperationDelegate {
  int calls = 0;
  void operationSuccess(NBOperation*, const NBResult&) override { ++calls; }
  void operationFail(NBOperation*, const std::string&) override { ++calls; }
};

// Every event as the observer and the sink saw it, as text.
struct Recorder : CallObserver {
  std::vector<std::string> events;
  std::vector<std::string> texts;  // every view of every event and record
  void note(const std::string& what, const CallEvent& e) {
    events.push_back(what);
    for (std::string_view view : {e.operation, e.requestId, e.method, e.hostRole, e.path, e.url}) {
      texts.emplace_back(view);
    }
  }
  void onCallStart(const CallEvent& e) override { note("start", e); }
  void onRequestSent(const CallEvent& e) override { note("sent " + std::string(e.method), e); }
  void onResponse(const CallEvent& e) override {
    note("response " + std::to_string(e.httpStatus), e);
  }
  void onCallEnd(const CallEvent& e, const Status& status) override {
    note("end " + std::string(statusCodeName(status.code())), e);
    texts.push_back(status.message());
  }
};

class ObservabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetMetrics();
    setCallObserver(recorder_);
    setLogSink([this](const LogRecord& r) { records_.push_back(r.level); }, LogLevel::kDebug);
  }
  void TearDown() override {
    setCallObserver(nullptr);
    setLogSink(nullptr);
  }

  // Runs one account-info call answered by `reply`; cancels it after its
  // response when `cancel`.
  void call(MemoryReply reply, bool cancel = false) {
    auto transport = std::make_shared<MemoryTransport>();
    transport->enqueue(std::move(reply));
    Outcome outcome;
    auto operation =
        std::make_shared<NBGetUserInfoOperation>(&outcome, std::make_shared<NBOperationItem>());
    operation->setTransport(transport);
    operation->setCredentialSource(NBCredentialSource::fixed(
        NBConsumer("consumer-key", kConsumerSecret), NBToken(kToken, kTokenSecret)));
    operation->executeOperation();
    if (cancel) {
      RunLoop::current().runUntil([&] { return recorder_->events.size() >= 3; }, 2s);
      operation->cancelOperation();
    } else {
      RunLoop::current().runUntil([&] { return outcome.calls > 0; }, 2s);
    }
    ASSERT_EQ(transport->requests().size(), 1u);
    sentRequestIds_.push_back(headerOf(transport->requests().front(), "X-Request-Id"));
  }

  static std::string headerOf(const URLRequest& request, const std::string& field) {
    for (const auto& [name, value] : request.allHTTPHeaderFields()) {
      if (name == field) return value;
    }
    return "";
  }

  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::vector<LogLevel> records_;
  std::vector<std::string> sentRequestIds_;
};

TEST_F(ObservabilityTest, EveryCallIsSeenOnceFromStartToEndWithoutSecrets) {
  MemoryReply hanging = MemoryReply::withBody(200, "");
  hanging.chunks = {"{"};
  hanging.ending = MemoryReply::Ending::kNever;
  const struct {
    const char* label;
    MemoryReply reply;
    bool cancel;
    std::vector<std::string> events;
    LogLevel endLevel;
  } cases[] = {
      {"success",
       MemoryReply::withBody(200, R"({"msg":"ok","uid":1})"),
       false,
       {"start", "sent GET", "response 200", "end ok"},
       LogLevel::kInfo},
      {"service refusal",
       MemoryReply::withBody(200, R"({"msg":"bad signature"})"),
       false,
       {"start", "sent GET", "response 200", "end not_signed_in"},
       LogLevel::kError},
      {"network failure",
       MemoryReply::failure(MemoryReply::Ending::kNetworkFailure),
       false,
       {"start", "sent GET", "end network"},
       LogLevel::kError},
      {"cancel",
       hanging,
       true,
       {"start", "sent GET", "response 200", "end cancelled"},
       LogLevel::kError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    recorder_->events.clear();
    records_.clear();
    call(c.reply, c.cancel);
    EXPECT_EQ(recorder_->events, c.events);
    ASSERT_EQ(records_.size(), c.events.size());
    EXPECT_EQ(records_.back(), c.endLevel);
  }
  for (const std::string& text : recorder_->texts) {
    for (const char* secret : {kConsumerSecret, kTokenSecret, kToken}) {
      EXPECT_EQ(text.find(secret), std::string::npos) << text;
    }
  }
  // Each request carried its own id.
  ASSERT_EQ(sentRequestIds_.size(), 4u);
  for (std::size_t i = 0; i < sentRequestIds_.size(); ++i) {
    EXPECT_FALSE(sentRequestIds_[i].empty());
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(sentRequestIds_[i], sentRequestIds_[j]);
  }
}

TEST_F(ObservabilityTest, TheCountersMatchTheCallsMade) {
  call(MemoryReply::withBody(200, R"({"msg":"ok"})"));
  call(MemoryReply::withBody(404, "gone"));
  call(MemoryReply::failure(MemoryReply::Ending::kTimeOut));
  const Metrics m = metrics();
  EXPECT_EQ(m.calls, 3u);
  EXPECT_EQ(m.requests, 3u);
  EXPECT_EQ(m.failedCalls, 2u);
  EXPECT_EQ(m.failuresByCause.at(StatusCode::kTimeout), 1u);
  EXPECT_EQ(m.responsesByHttpStatus.at(200), 1u);
  EXPECT_EQ(m.responsesByHttpStatus.at(404), 1u);
  EXPECT_EQ(m.bytesReceived, std::string(R"({"msg":"ok"})").size() + 4);
  std::uint64_t timed = 0;
  for (std::uint64_t n : m.latency) timed += n;
  EXPECT_EQ(timed, 2u);  // the two that had a response
}

TEST_F(ObservabilityTest, NothingIsAddedWhenNobodyListens) {
  setCallObserver(nullptr);
  setLogSink(nullptr);
  call(MemoryReply::withBody(200, R"({"msg":"ok"})"));
  EXPECT_TRUE(recorder_->events.empty());
  EXPECT_EQ(sentRequestIds_.back(), "");
  EXPECT_EQ(metrics().calls, 1u);
}

TEST(VersionTest, TheLibraryReportsTheVersionItsHeadersName) {
  EXPECT_EQ(std::string(version()), std::to_string(NB_VERSION_MAJOR) + "." +
                                        std::to_string(NB_VERSION_MINOR) + "." +
                                        std::to_string(NB_VERSION_PATCH));
}

}  // namespace
}  // namespace nb
