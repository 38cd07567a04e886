#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "cli/OperationRunner.h"
#include "cli/ProgressBar.h"
#include "nb/platform/RunLoop.h"

namespace nb::cli {
namespace {

// An operation whose executeOperation runs a script against its own reports,
// now or later on the run loop.
class ScriptedOperation : public NBOperation {
 public:
  using Script = std::function<void(ScriptedOperation&)>;
  ScriptedOperation(NBOperationDelegate* delegate, Script script)
      : NBOperation(delegate, std::make_shared<NBOperationItem>()), script_(std::move(script)) {}
  void executeOperation() override { script_(*this); }
  void cancelOperation() override { cancelled = true; }

  void succeed(const NBResult& result) { reportSuccess(result); }
  void fail(const std::string& message) { reportFail(Status::service(message)); }
  void progress(std::int64_t done, std::int64_t total) { reportProgress(done, total); }

  bool cancelled = false;

 private:
  Script script_;
};

OperationOutcome runScript(OperationRunner& runner, ScriptedOperation::Script script,
                           ProgressBar* bar = nullptr,
                           std::shared_ptr<ScriptedOperation>* keep = nullptr) {
  auto operation = std::make_shared<ScriptedOperation>(&runner, std::move(script));
  if (keep) *keep = operation;
  return runner.run(operation, bar);
}

TEST(OperationRunnerTest, ReturnsTheOutcomeReportedNowOrLater) {
  OperationRunner runner(std::chrono::seconds(5));
  OperationOutcome now = runScript(runner, [](auto& op) { op.succeed(NBResult::text("t")); });
  EXPECT_EQ(now.kind, OperationOutcome::Kind::kSuccess);
  ASSERT_NE(now.result.textValue(), nullptr);
  EXPECT_EQ(*now.result.textValue(), "t");

  OperationOutcome later =
      runScript(runner, [](auto& op) { RunLoop::main().post([&op] { op.fail("登录失败"); }); });
  EXPECT_EQ(later.kind, OperationOutcome::Kind::kFail);
  EXPECT_EQ(later.message, "登录失败");
}

TEST(OperationRunnerTest, KeepsOnlyTheFirstOutcomeOfTheCurrentOperation) {
  OperationRunner runner(std::chrono::seconds(5));
  OperationOutcome outcome = runScript(runner, [&runner](auto& op) {
    // A report from some other operation is not this one's outcome.
    ScriptedOperation other(&runner, [](auto&) {});
    runner.operationFail(&other, "other");
    op.succeed(NBResult());
    op.fail("late");
  });
  EXPECT_EQ(outcome.kind, OperationOutcome::Kind::kSuccess);
}

TEST(OperationRunnerTest, SilentOperationTimesOutAndIsCancelled) {
  OperationRunner runner(std::chrono::seconds(1));
  std::shared_ptr<ScriptedOperation> operation;
  const auto start = std::chrono::steady_clock::now();
  OperationOutcome outcome = runScript(
      runner, [](auto&) {}, nullptr, &operation);
  EXPECT_EQ(outcome.kind, OperationOutcome::Kind::kTimeout);
  EXPECT_NE(outcome.message.find("1 s"), std::string::npos) << outcome.message;
  EXPECT_TRUE(operation->cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(OperationRunnerTest, ProgressKeepsASlowTransferAliveAndReachesTheBar) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ProgressBar bar(file, true);
  OperationRunner runner(std::chrono::seconds(1));
  // Progress every 400 ms for 2 s: longer than the idle limit, never idle that long.
  OperationOutcome outcome = runScript(
      runner,
      [](ScriptedOperation& op) {
        for (int i = 1; i <= 5; ++i) {
          RunLoop::main().addTimer(std::chrono::milliseconds(400 * i), false, [&op, i] {
            op.progress(i * 10, 50);
            if (i == 5) op.succeed(NBResult());
          });
        }
      },
      &bar);
  EXPECT_EQ(outcome.kind, OperationOutcome::Kind::kSuccess);
  std::fflush(file);
  std::rewind(file);
  char text[4096] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, file);
  const std::string drawn(text, n);
  EXPECT_NE(drawn.find("50 B / 50 B  100%"), std::string::npos) << drawn;
  EXPECT_EQ(drawn.back(), '\n') << "the runner ends the bar's line";
  std::fclose(file);
}

}  // namespace
}  // namespace nb::cli
