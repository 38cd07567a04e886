#include "cli/FailureText.h"

#include <vector>

#include "cli/ExitCode.h"
#include "nb/Private/ParseError.h"

namespace nb::cli {
namespace {

struct Known {
  std::string message;  // as the library reports it
  StatusCode code;
  const char* machine;
  const char* english;
};

constexpr const char* kSignInAgain =
    "the service rejected the sign-in (the access token was revoked or has expired, or the "
    "request's signature is wrong): run `nb login USER` to sign in again";

// Every message the library's error tables can produce, read from those tables
// so that the two never drift apart. Earlier rows win for equal texts.
const std::vector<Known>& knownMessages() {
  static const std::vector<Known> table = [] {
    const auto normal = [](const char* status) {
      return ParseError::getNormalErrorMessage(status);
    };
    const auto upload = [](const char* status) {
      return ParseError::getUploadFileErrorMessage(status);
    };
    const auto download = [](const char* status) {
      return ParseError::getDownloadFileErrorMessage(status);
    };
    const auto keyword = [](const char* word) { return ParseError::transformMessage(word); };
    using C = StatusCode;
    return std::vector<Known>{
        {normal("401"), C::kUnauthenticated, "not_signed_in", kSignInAgain},
        {download("401"), C::kUnauthenticated, "not_signed_in", kSignInAgain},
        {keyword("authorization expired"), C::kUnauthenticated, "not_signed_in", kSignInAgain},
        {keyword("cannot create app folder"), C::kUnauthenticated, "not_signed_in", kSignInAgain},
        {keyword("bad signature"), C::kUnauthenticated, "not_signed_in", kSignInAgain},
        {keyword("bad verifier"), C::kUnauthenticated, "not_signed_in", kSignInAgain},
        {keyword("bad consumer key"), C::kUnauthenticated, "bad_consumer",
         "the service does not know this consumer key: check --consumer-key or NB_CONSUMER_KEY"},
        {keyword("login fail"), C::kUnauthenticated, "login_failed",
         "sign-in failed: wrong user name or password, or no such account"},
        {keyword("request expired"), C::kUnauthenticated, "request_expired",
         "the request was refused as expired: check that this computer's clock is right"},
        {keyword("not supported auth mode"), C::kPermissionDenied, "forbidden",
         "this application may not use this way of signing in"},
        {normal("400"), C::kService, "bad_request", "the service refused the request's parameters"},
        {keyword("bad parameters"), C::kService, "bad_request",
         "the service refused the request's parameters"},
        {keyword("bad request"), C::kService, "bad_request",
         "the service refused the request's address or parameters"},
        {normal("403"), C::kPermissionDenied, "forbidden", "no permission for this operation"},
        {keyword("forbidden"), C::kPermissionDenied, "forbidden",
         "no permission (the entry usually belongs to someone else)"},
        {keyword("no right to call this api"), C::kPermissionDenied, "forbidden",
         "this application may not make this call"},
        {normal("404"), C::kNotFound, "not_found", "no such file or folder"},
        {keyword("file not exist"), C::kNotFound, "not_found", "no such file or folder"},
        {download("404"), C::kNotFound, "not_found", "no such file"},
        {download("403"), C::kNotFound, "not_found", "no such file, or no permission to read it"},
        {download("999"), C::kNotFound, "not_found",
         "the file does not exist or the service failed to send it"},
        {upload("404"), C::kNotFound, "not_found", "the parent folder does not exist"},
        {upload("403"), C::kAlreadyExists, "exists",
         "a file or folder of that name already exists; --overwrite replaces a file"},
        {keyword("file exist"), C::kAlreadyExists, "exists",
         "a file or folder of that name already exists"},
        {normal("405"), C::kAlreadyExists, "exists",
         "an entry of that name already exists, or the path does not exist"},
        {normal("406"), C::kResourceExhausted, "too_many_files",
         "too many files in one operation (for ls, --limit raises the bound)"},
        {keyword("tooManyFiles"), C::kResourceExhausted, "too_many_files",
         "too many files in one operation (for ls, --limit raises the bound)"},
        {normal("413"), C::kResourceExhausted, "too_large",
         "the file is too large for the service"},
        {keyword("file too large"), C::kResourceExhausted, "too_large",
         "the file is larger than the account may upload (see `nb info`)"},
        {normal("507"), C::kResourceExhausted, "quota", "not enough space left in the account"},
        {upload("507"), C::kResourceExhausted, "quota", "the account's storage space is full"},
        {keyword("over space"), C::kResourceExhausted, "quota",
         "the account's storage space is full"},
        {keyword("api daily limit"), C::kResourceExhausted, "rate_limited",
         "this application made too many calls today"},
        {keyword("wrong verification code"), C::kService, "wrong_code",
         "the verification code is wrong or has expired"},
        {keyword("reused nonce"), C::kService, "reused_nonce",
         "the service saw this request's nonce before; try again"},
        {keyword("no such api implemented"), C::kService, "unsupported",
         "the service does not offer this call"},
        {keyword("bad openid"), C::kService, "bad_openid", "this account id cannot register"},
        {normal("500"), C::kService, "server_error", "the service had an internal error"},
        {normal("999"), C::kService, "server_error",
         "the service had an internal error or is unavailable"},
        {keyword("server error"), C::kService, "server_error", "the service had an internal error"},
        {keyword("account server error"), C::kService, "server_error",
         "the service's account server failed; try again later"},
        {keyword("commit fail"), C::kService, "server_error",
         "the service could not store the upload; try again later"},
    };
  }();
  return table;
}

const Known* find(const std::string& message) {
  for (const Known& known : knownMessages()) {
    if (known.message == message) return &known;
  }
  return nullptr;
}

bool isAscii(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

Status FailureText::fromOperationMessage(const std::string& message) {
  if (const Known* known = find(message)) return Status(known->code, message);
  if (message == "The request timed out.") return Status::timeout(message);
  // The transport's texts are English sentences ("Could not connect to server.");
  // the service's unknown keywords are lower-case words without a full stop.
  if (!message.empty() && isAscii(message) && message.back() == '.' && message.front() >= 'A' &&
      message.front() <= 'Z') {
    return Status::network(message);
  }
  return Status::service(message);
}

std::string FailureText::machineCode(const Status& status) {
  if (const Known* known = find(status.message())) return known->machine;
  if (status.code() == StatusCode::kInvalidArgument) return "usage";
  return std::string(statusCodeName(status.code()));
}

std::string FailureText::explanation(const Status& status) {
  if (const Known* known = find(status.message())) return known->english;
  switch (status.code()) {
    case StatusCode::kNetwork:
      return "the service could not be reached (network failure)";
    case StatusCode::kTimeout:
      return "no sign of life from the service within the time limit (see --timeout)";
    case StatusCode::kService:
      return isAscii(status.message()) ? "the service refused the call"
                                       : "the service refused the call with the message above";
    default:
      return "";
  }
}

int exitCodeFor(const Status& status) {
  switch (status.code()) {
    case StatusCode::kOk:
      return kExitOk;
    case StatusCode::kInvalidArgument:
      return kExitUsage;
    case StatusCode::kUnauthenticated:
      return kExitNotSignedIn;
    case StatusCode::kIOError:
      return kExitLocalFile;
    case StatusCode::kTimeout:
      return kExitTimeout;
    case StatusCode::kUnavailable:
      return kExitUnavailable;
    case StatusCode::kCancelled:
      return kExitInterrupted;
    case StatusCode::kInternal:
      return kExitFailure;
    case StatusCode::kNotFound:
    case StatusCode::kAlreadyExists:
    case StatusCode::kPermissionDenied:
    case StatusCode::kResourceExhausted:
    case StatusCode::kCorruption:
    case StatusCode::kNetwork:
    case StatusCode::kService:
      return kExitService;
  }
  return kExitFailure;
}

}  // namespace nb::cli
