#include "nb/Private/NBOperation.h"

#include <gtest/gtest.h>

#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/Private/NBToken.h"

namespace nb {
namespace {

// Exposes the protected delegate calls so the rules of reporting can be shown.
class ReportingOperation : public NBOperation {
 public:
  using NBOperation::NBOperation;
  using NBOperation::reportFail;
  using NBOperation::reportProgress;
  using NBOperation::reportSuccess;
  std::shared_ptr<NBOperationItem> item() const { return _oprationItem; }
};

struct PlainDelegate : NBOperationDelegate {
  int successes = 0, failures = 0;
  std::string lastMessage;
  void operationSuccess(NBOperation*, const NBResult&) override { ++successes; }
  void operationFail(NBOperation*, const std::string& message) override {
    ++failures;
    lastMessage = message;
  }
};

struct ProgressDelegate : PlainDelegate, NBOperationProgressDelegate {
  std::int64_t written = 0, expected = 0;
  void operationTotalBytesWritten(NBOperation*, std::int64_t w, std::int64_t e) override {
    written = w;
    expected = e;
  }
};

TEST(NBOperationTest, FailureStatusIsWhatTheDelegateHeardEvenWithoutADelegate) {
  PlainDelegate plain;
  auto heard = std::make_shared<ReportingOperation>(&plain, nullptr);
  EXPECT_TRUE(heard->failureStatus().ok());
  heard->reportFail(Status::notFound("无此文件"));
  EXPECT_EQ(plain.failures, 1);
  EXPECT_EQ(heard->failureStatus().code(), StatusCode::kNotFound);
  EXPECT_EQ(heard->failureStatus().message(), plain.lastMessage);

  // A null delegate hears nothing, but the reason is kept all the same.
  auto silent = std::make_shared<ReportingOperation>(nullptr, std::make_shared<NBOperationItem>());
  silent->reportSuccess(NBResult());
  silent->reportProgress(1, 2);
  silent->reportFail(Status::ioError("disk"));
  EXPECT_EQ(silent->failureStatus(), Status::ioError("disk"));
  // An ok status is no reason: the failure still gets a code.
  silent->reportFail(Status::OK());
  EXPECT_EQ(silent->failureStatus().code(), StatusCode::kInternal);
}

TEST(NBOperationTest, ProgressOnlyReachesDelegatesThatImplementIt) {
  PlainDelegate plain;
  auto quiet = std::make_shared<ReportingOperation>(&plain, nullptr);
  quiet->reportProgress(10, 20);
  quiet->reportFail(Status::service("failed"));
  EXPECT_EQ(plain.failures, 1);
  EXPECT_EQ(plain.lastMessage, "failed");

  ProgressDelegate progress;
  auto loud = std::make_shared<ReportingOperation>(&progress, nullptr);
  loud->reportProgress(std::int64_t{1} << 40, -1);
  loud->reportSuccess(NBResult());
  EXPECT_EQ(progress.written, std::int64_t{1} << 40);
  EXPECT_EQ(progress.expected, -1);
  EXPECT_EQ(progress.successes, 1);
}

TEST(NBOperationTest, OperationKeepsItsItemAlive) {
  auto item = std::make_shared<NBRegisterOperationItem>();
  item->consumer = std::make_shared<NBConsumer>("key", std::nullopt);
  std::weak_ptr<NBOperationItem> watch = item;
  auto op = std::make_shared<ReportingOperation>(nullptr, std::move(item));
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(op->item()->consumer->key, "key");
  EXPECT_EQ(op->item()->consumer->secret, std::nullopt);
  op.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(NBResultTest, CarriesOneKindOfValue) {
  EXPECT_TRUE(NBResult().isNil());
  auto token = std::make_shared<NBToken>("t", "s");
  NBResult record = NBResult::record(token);
  EXPECT_FALSE(record.isNil());
  EXPECT_EQ(record.recordAs<NBToken>(), token);
  EXPECT_EQ(record.recordAs<NBVerification>(), nullptr);
  EXPECT_EQ(record.textValue(), nullptr);
  EXPECT_EQ(*NBResult::text("ok").textValue(), "ok");
  EXPECT_EQ(NBResult::bytes({1, 2}).bytesValue()->size(), 2u);
}

}  // namespace
}  // namespace nb
