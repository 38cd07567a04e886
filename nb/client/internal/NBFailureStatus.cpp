#include "nb/client/internal/NBFailureStatus.h"

#include <cctype>
#include <string_view>

#include "nb/Private/ParseError.h"

namespace nb::internal {
namespace {

struct KeywordCode {
  std::string_view keyword;  // the service's "msg" keyword
  StatusCode code;
};

// The service's keywords whose meaning has a closer code than kService. The
// operation reports the keyword's user message, so both forms are compared.
constexpr KeywordCode kKeywordCodes[] = {
    {"forbidden", StatusCode::kPermissionDenied},
    {"no right to call this api", StatusCode::kPermissionDenied},
    {"not supported auth mode", StatusCode::kPermissionDenied},
    {"login fail", StatusCode::kUnauthenticated},
    {"bad signature", StatusCode::kUnauthenticated},
    {"request expired", StatusCode::kUnauthenticated},
    {"reused nonce", StatusCode::kUnauthenticated},
    {"bad consumer key", StatusCode::kUnauthenticated},
    {"authorization expired", StatusCode::kUnauthenticated},
    {"bad verifier", StatusCode::kUnauthenticated},
    {"cannot create app folder", StatusCode::kUnauthenticated},
    {"file exist", StatusCode::kAlreadyExists},
    {"file not exist", StatusCode::kNotFound},
    {"file too large", StatusCode::kResourceExhausted},
    {"over space", StatusCode::kResourceExhausted},
    {"tooManyFiles", StatusCode::kResourceExhausted},
    {"api daily limit", StatusCode::kResourceExhausted},
    {"bad parameters", StatusCode::kInvalidArgument},
    {"bad request", StatusCode::kInvalidArgument},
    {"wrong verification code", StatusCode::kInvalidArgument},
    {"bad openid", StatusCode::kInvalidArgument},
};

struct StatusLineCode {
  std::string_view status;  // an HTTP status that an operation judged
  StatusCode code;
};

constexpr StatusLineCode kStatusCodes[] = {
    {"400", StatusCode::kInvalidArgument},   {"401", StatusCode::kUnauthenticated},
    {"403", StatusCode::kPermissionDenied},  {"404", StatusCode::kNotFound},
    {"405", StatusCode::kAlreadyExists},     {"406", StatusCode::kResourceExhausted},
    {"413", StatusCode::kResourceExhausted}, {"507", StatusCode::kResourceExhausted},
};

struct PhraseCode {
  std::string_view phrase;  // part of a message the library's operations write
  StatusCode code;
};

// The operations' own messages: checks before any request and replies they
// cannot read.
constexpr PhraseCode kPhraseCodes[] = {
    {"sign in again", StatusCode::kUnauthenticated},
    {"consumer key is missing", StatusCode::kUnauthenticated},
    {"cannot save the download", StatusCode::kIOError},
    {"cannot read the file to upload", StatusCode::kIOError},
    {"reply", StatusCode::kCorruption},
    {" needs ", StatusCode::kInvalidArgument},
    {"refused", StatusCode::kInvalidArgument},
    {"cannot be uploaded", StatusCode::kInvalidArgument},
    {"cannot form", StatusCode::kInvalidArgument},
    {"cannot stand", StatusCode::kInvalidArgument},
    {"not a regular file", StatusCode::kInvalidArgument},
    {"not both", StatusCode::kInvalidArgument},
    {"no request token", StatusCode::kInvalidArgument},
};

// The transport's failures are sentences: a capital first letter and a full
// stop (the service's keywords and the operations' messages are neither).
bool isTransportSentence(const std::string& message) {
  return message.size() > 1 && std::isupper(static_cast<unsigned char>(message.front())) &&
         (message.back() == '.' || message.back() == '!' || message.back() == '?');
}

}  // namespace

Status failureStatus(const NBOperation& /*operation*/, const std::string& message) {
  for (const KeywordCode& row : kKeywordCodes) {
    if (message == row.keyword || message == ParseError::transformMessage(row.keyword)) {
      return {row.code, message};
    }
  }
  // A status table answers a status it does not list with its default
  // message, which says nothing about that status: only listed rows count.
  for (auto* table : {&ParseError::getNormalErrorMessage, &ParseError::getUploadFileErrorMessage,
                      &ParseError::getDownloadFileErrorMessage}) {
    const std::string fallback = (*table)("0");
    for (const StatusLineCode& row : kStatusCodes) {
      const std::string text = (*table)(row.status);
      if (text != fallback && message == text) return {row.code, message};
    }
  }
  if (message == "The request timed out.") return Status::timeout(message);
  if (isTransportSentence(message)) return Status::network(message);
  for (const PhraseCode& row : kPhraseCodes) {
    if (message.find(row.phrase) != std::string::npos) return {row.code, message};
  }
  // Every other message is the service's refusal, in its words.
  return Status::service(message);
}

}  // namespace nb::internal
