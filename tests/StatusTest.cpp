#include "nb/Status.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace nb {
namespace {

TEST(StatusTest, DefaultIsOkAndErrorsKeepCodeAndMessage) {
  EXPECT_TRUE(Status().ok());
  EXPECT_EQ(Status::OK().toString(), "ok");
  Status missing = Status::notFound("file not exist");
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.code(), StatusCode::kNotFound);
  EXPECT_EQ(missing.message(), "file not exist");
  EXPECT_EQ(missing.toString(), "not_found: file not exist");
  EXPECT_EQ(statusCodeName(StatusCode::kUnauthenticated), "not_signed_in");
}

TEST(StatusTest, ResultHoldsValueOrError) {
  Result<std::unique_ptr<int>> value(std::make_unique<int>(7));
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(**value, 7);
  std::unique_ptr<int> moved = std::move(value).value();
  EXPECT_EQ(*moved, 7);

  Result<std::string> error(Status::timeout("no answer"));
  EXPECT_FALSE(error.ok());
  EXPECT_EQ(error.status().code(), StatusCode::kTimeout);
}

}  // namespace
}  // namespace nb
