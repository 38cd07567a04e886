#include "cli/AccountCommands.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <variant>

#include "cli/CommandContext.h"
#include "cli/CredentialStore.h"
#include "cli/ExitCode.h"
#include "cli/StoreStatus.h"
#include "cli/WindowSignIn.h"
#include "cli/TerminalPrompt.h"
#include "cli/UrlFetch.h"
#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/device/NBSharedUDID.h"
#include "nb/operations/NBGetUserInfoOperation.h"
#include "nb/operations/NBGetVerificationOperation.h"
#include "nb/operations/NBRegisterOperation.h"
#include "nb/operations/NBXAuthOperation.h"

namespace nb::cli {
namespace {

// The password from --password, else asked for without echo; nothing (with the
// error printed into `exitCode`) when none can be had or it fails the check.
std::optional<std::string> passwordFor(CommandContext& context, int& exitCode) {
  std::optional<std::string> password = context.options().password;
  if (!password) password = TerminalPrompt::ask("Password: ", true);
  if (!password || password->empty()) {
    exitCode = context.printer().error("the password must not be empty", kExitUsage);
    return std::nullopt;
  }
  return password;
}

// The sign-in screens accept only user names with an "@".
bool checkUserName(CommandContext& context, int& exitCode) {
  if (context.options().user.find('@') != std::string::npos) return true;
  exitCode = context.printer().error(
      "the user name must be the account's e-mail address (with an @)", kExitUsage);
  return false;
}

// What signing in and registering both start from.
struct SignInInput {
  std::shared_ptr<NBConsumer> consumer;
  std::string password;
};

// The consumer and the password of the --user account; nothing (with the exit
// code of the printed error in `exitCode`) when the consumer is missing, the
// user name fails the check or no password can be had.
std::optional<SignInInput> signInInput(CommandContext& context, int& exitCode) {
  auto consumer = context.consumer();
  if (!consumer) {
    exitCode = context.missingConsumer();
    return std::nullopt;
  }
  if (!checkUserName(context, exitCode)) return std::nullopt;
  auto password = passwordFor(context, exitCode);
  if (!password) return std::nullopt;
  return SignInInput{std::move(consumer), std::move(*password)};
}

// Logs in with xAuth and stores the token and consumer; 0 or the exit code of
// the printed failure.
int signIn(CommandContext& context, const std::shared_ptr<NBConsumer>& consumer,
           const std::string& password) {
  auto item = std::make_shared<NBAuthOperationItem>();
  item->userName = context.options().user;
  item->password = password;
  item->consumer = consumer;
  item->httpMethod = "POST";
  const OperationOutcome outcome = context.runner().perform<NBXAuthOperation>(item);
  if (outcome.kind != OperationOutcome::Kind::kSuccess) return context.failed(outcome);
  const auto token = outcome.result.recordAs<NBToken>();
  if (!token) return context.printer().error("the service sent no access token", kExitService);
  if (auto error = CredentialStore::storeTokenAndConsumer(*token, *consumer)) {
    return context.printer().error(*error, kExitFailure);
  }
  context.printer().note(credentialStoreLine());
  return kExitOk;
}

JsonValue signedInValue(const std::string& user) {
  JsonValue value = JsonValue::object();
  value.set("user", JsonValue(user));
  value.set("signed_in", JsonValue(true));
  return value;
}

// Where the challenge image goes when --image is not given.
std::string defaultImagePath() {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/nb-verification-" +
         std::to_string(::getpid()) + ".png";
}

}  // namespace

int runLogin(CommandContext& context) {
  if (context.options().window) return runWindowSignIn(context, false);
  int exitCode = kExitOk;
  const auto input = signInInput(context, exitCode);
  if (!input) return exitCode;
  if (int code = signIn(context, input->consumer, input->password)) return code;
  context.printer().result(signedInValue(context.options().user),
                           "Signed in as " + context.options().user);
  return kExitOk;
}

int runLogout(CommandContext& context) {
  CredentialStore::clearAuthInfo();
  JsonValue value = JsonValue::object();
  value.set("signed_in", JsonValue(false));
  context.printer().result(value, "Signed out");
  return kExitOk;
}

int runRegister(CommandContext& context) {
  if (context.options().window) return runWindowSignIn(context, true);
  const CommandOptions& options = context.options();
  int exitCode = kExitOk;
  const auto input = signInInput(context, exitCode);
  if (!input) return exitCode;
  const auto& consumer = input->consumer;
  const std::string& password = input->password;

  // The challenge: an image showing the code, and the id that ties the answer to it.
  auto challengeItem = std::make_shared<NBOperationItem>();
  challengeItem->consumer = consumer;
  const OperationOutcome challenge =
      context.runner().perform<NBGetVerificationOperation>(challengeItem);
  if (challenge.kind != OperationOutcome::Kind::kSuccess) return context.failed(challenge);
  const auto verification = challenge.result.recordAs<NBVerification>();
  if (!verification || !verification->urlString) {
    return context.printer().error("the service sent no verification image", kExitService);
  }
  auto image =
      UrlFetch::get(*verification->urlString, std::chrono::seconds(options.timeoutSeconds));
  if (auto* error = std::get_if<UrlFetchError>(&image)) {
    return context.printer().error("verification image: " + error->message,
                                   error->timedOut ? kExitTimeout : kExitService);
  }
  const std::string imagePath = options.image.value_or(defaultImagePath());
  {
    std::ofstream file(imagePath, std::ios::binary | std::ios::trunc);
    file << std::get<std::string>(image);
    if (!file.flush()) {
      return context.printer().error("cannot write " + imagePath, kExitLocalFile);
    }
  }
  context.printer().note("Verification image: " + imagePath);

  std::optional<std::string> code = options.code;
  if (!code) code = TerminalPrompt::ask("Code shown in the image: ", false);
  if (!code || code->empty()) {
    return context.printer().error("no verification code given", kExitUsage);
  }
  verification->verifiCode = *code;

  auto item = std::make_shared<NBRegisterOperationItem>();
  item->userName = options.user;
  item->password = password;
  item->consumer = consumer;
  item->httpMethod = "POST";
  item->verifi = verification;
  item->deviceID = NBSharedUDID::value();
  const OperationOutcome registered = context.runner().perform<NBRegisterOperation>(item);
  if (registered.kind != OperationOutcome::Kind::kSuccess) return context.failed(registered);

  // As the registration screen does: sign the new account in at once.
  if (int code = signIn(context, consumer, password)) return code;
  JsonValue value = signedInValue(options.user);
  value.set("registered", JsonValue(true));
  value.set("image", JsonValue(imagePath));
  context.printer().result(value, "Registered and signed in as " + options.user);
  return kExitOk;
}

int runInfo(CommandContext& context) {
  if (!CredentialStore::hasAccessToken()) return context.notSignedIn();
  const OperationOutcome outcome =
      context.runner().perform<NBGetUserInfoOperation>(std::make_shared<NBOperationItem>());
  if (outcome.kind != OperationOutcome::Kind::kSuccess) return context.failed(outcome);
  const auto info = outcome.result.recordAs<NBUserInfo>();
  if (!info) return context.printer().error("the service sent no account record", kExitService);

  JsonValue value = JsonValue::object();
  value.set("user_id", JsonValue(static_cast<std::int64_t>(info->userID)));
  value.set("user_name", info->userName ? JsonValue(*info->userName) : JsonValue());
  value.set("max_file_size", JsonValue(static_cast<std::int64_t>(info->maxFileSize)));
  value.set("quota_total", JsonValue(static_cast<std::int64_t>(info->quotaTotal)));
  value.set("quota_used", JsonValue(static_cast<std::int64_t>(info->quotaUsed)));

  const auto bytes = [](std::int64_t n) {
    return ProgressBar::formatBytes(static_cast<double>(n));
  };
  std::string plain = "User:          " + info->userName.value_or("") + " (id " +
                      std::to_string(info->userID) + ")\n" +
                      "Quota:         " + bytes(info->quotaUsed) + " used of " +
                      bytes(info->quotaTotal) + "\n" + "Largest file:  " + bytes(info->maxFileSize);
  context.printer().result(value, plain);
  return kExitOk;
}

}  // namespace nb::cli
