// The codes that operation failures get: the service's keywords and status
// messages, the transport's sentences and the operations' own checks.
#include <gtest/gtest.h>

#include <memory>

#include "nb/Private/NBOperation.h"
#include "nb/Private/ParseError.h"
#include "nb/client/internal/NBFailureStatus.h"

namespace nb {
namespace {

TEST(NBFailureStatusTest, MessagesGetTheCodeOfWhatWentWrong) {
  const NBOperation operation(nullptr, nullptr);
  const struct {
    std::string message;
    StatusCode code;
  } cases[] = {
      {ParseError::transformMessage("file exist"), StatusCode::kAlreadyExists},
      {ParseError::transformMessage("file not exist"), StatusCode::kNotFound},
      {ParseError::transformMessage("bad signature"), StatusCode::kUnauthenticated},
      {ParseError::transformMessage("over space"), StatusCode::kResourceExhausted},
      {ParseError::transformMessage("server error"), StatusCode::kService},
      {"some keyword the tables do not know", StatusCode::kService},
      {ParseError::getDownloadFileErrorMessage("404"), StatusCode::kNotFound},
      {ParseError::getUploadFileErrorMessage("507"), StatusCode::kResourceExhausted},
      // A table's default names no status: it is the service's failure.
      {ParseError::getNormalErrorMessage("502"), StatusCode::kService},
      {ParseError::getDownloadFileErrorMessage("500"), StatusCode::kService},
      {"The request timed out.", StatusCode::kTimeout},
      {"Couldn't connect to server.", StatusCode::kNetwork},
      {"no complete consumer and access token are stored; sign in again",
       StatusCode::kUnauthenticated},
      {"a share link needs a root and a path", StatusCode::kInvalidArgument},
      {"the service's reply is not JSON", StatusCode::kCorruption},
      {"cannot save the download: cannot open /x: Permission denied", StatusCode::kIOError},
  };
  for (const auto& c : cases) {
    const Status status = internal::failureStatus(operation, c.message);
    EXPECT_EQ(status.code(), c.code) << c.message;
    EXPECT_EQ(status.message(), c.message);
  }
}

}  // namespace
}  // namespace nb
