#include "cli/AccountCommands.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <variant>

#include "cli/CommandContext.h"
#include "cli/CredentialStore.h"
#include "cli/StoreStatus.h"
#include "cli/TerminalPrompt.h"
#include "cli/UrlFetch.h"
#include "cli/WindowSignIn.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/device/NBSharedUDID.h"
#include "nb/operations/NBGetUserInfoOperation.h"
#include "nb/operations/NBGetVerificationOperation.h"
#include "nb/operations/NBRegisterOperation.h"
#include "nb/operations/NBXAuthOperation.h"

namespace nb::cli {
namespace {

// The most a verification image may take: a few hundred KiB in practice.
constexpr std::size_t kMaxImageBytes = 16 << 20;

struct SignInOptions {
  std::string user;
  std::optional<std::string> password;
  std::optional<std::string> code;   // register: the verification code
  std::optional<std::string> image;  // register: where to save the challenge image
  bool window = false;               // the library's sign-in screens in a real window
};

void addSignInOptions(CLI::App& sub, SignInOptions& o) {
  // USER is required unless --window, where it is typed in the window.
  sub.add_option("USER", o.user, "User name (an e-mail address; optional with --window)");
  sub.add_option("--password", o.password, "Password (prompted without echo when absent)");
  sub.add_flag("--window", o.window, "Use the library's sign-in screen in a window");
}

// What signing in and registering both start from.
struct SignInInput {
  std::shared_ptr<NBConsumer> consumer;
  std::string password;
};

// The consumer and the password of the account; refused when the consumer is
// missing, the user name has no "@" (the sign-in screens accept only those)
// or no password can be had.
Result<SignInInput> signInInput(CommandContext& context, const SignInOptions& o) {
  if (o.user.empty()) return Status::invalidArgument("USER is required (or give --window)");
  auto consumer = context.consumer();
  if (!consumer.ok()) return consumer.status();
  if (o.user.find('@') == std::string::npos) {
    return Status::invalidArgument(
        "the user name must be the account's e-mail address (with an @)");
  }
  std::optional<std::string> password = o.password;
  if (!password) password = TerminalPrompt::ask("Password: ", true);
  if (!password || password->empty()) {
    return Status::invalidArgument("the password must not be empty");
  }
  return SignInInput{std::move(*consumer), std::move(*password)};
}

// Once per sign-in: file calls go over plain HTTP unless --secure, readable
// and answerable by anyone on the path to a host that is not this machine.
void warnOfClearText(CommandContext& context) {
  if (NBAPIInfo::secureFileCalls()) return;
  for (const std::string* host :
       {&NBHosts::apiHost(), &NBHosts::contentHost(), &NBHosts::conversionHost()}) {
    if (!NBHosts::staysOnThisMachine(*host, 80)) {
      context.printer().note("Warning: file calls travel to " + *host +
                             " in clear text (the service's plain HTTP); give --secure or set "
                             "NB_SECURE=1 to send them over HTTPS");
      return;
    }
  }
}

// Logs in with xAuth and stores the token and consumer.
Status signIn(CommandContext& context, const std::string& user,
              const std::shared_ptr<NBConsumer>& consumer, const std::string& password) {
  auto item = std::make_shared<NBAuthOperationItem>();
  item->userName = user;
  item->password = password;
  item->consumer = consumer;
  item->httpMethod = "POST";
  const auto outcome = context.perform<NBXAuthOperation>(item);
  if (!outcome.ok()) return outcome.status();
  const auto token = outcome->recordAs<NBToken>();
  if (!token) return Status::corruption("the service sent no access token");
  for (const std::string& sentence : CredentialStore::makeStorePrivate()) {
    context.printer().warning(sentence);
  }
  if (auto error = CredentialStore::storeTokenAndConsumer(*token, *consumer)) {
    return Status::ioError(*error);
  }
  context.printer().note(credentialStoreLine());
  warnOfClearText(context);
  return Status::OK();
}

JsonValue signedInValue(const std::string& user) {
  JsonValue value = JsonValue::object();
  value.set("user", JsonValue(user));
  value.set("signed_in", JsonValue(true));
  return value;
}

Status runLogin(CommandContext& context, const SignInOptions& o) {
  if (o.window) return runWindowSignIn(context, false, o.user);
  const auto input = signInInput(context, o);
  if (!input.ok()) return input.status();
  if (Status status = signIn(context, o.user, input->consumer, input->password); !status.ok()) {
    return status;
  }
  context.printer().result(signedInValue(o.user), "Signed in as " + o.user);
  return Status::OK();
}

// Writes the challenge image to `path`, replacing what was there.
Status saveImage(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  if (!file.flush()) return Status::ioError("cannot write " + path);
  return Status::OK();
}

Status runRegister(CommandContext& context, const SignInOptions& o) {
  if (o.window) return runWindowSignIn(context, true, o.user);
  const auto input = signInInput(context, o);
  if (!input.ok()) return input.status();

  // The challenge: an image showing the code, and the id that ties the answer to it.
  auto challengeItem = std::make_shared<NBOperationItem>();
  challengeItem->consumer = input->consumer;
  const auto challenge = context.perform<NBGetVerificationOperation>(challengeItem);
  if (!challenge.ok()) return challenge.status();
  const auto verification = challenge->recordAs<NBVerification>();
  if (!verification || !verification->urlString) {
    return Status::corruption("the service sent no verification image");
  }
  // The image is only fetched when someone will look at it: --image names
  // where, and a code that must be typed in needs it.
  std::optional<std::string> imagePath = o.image;
  if (!imagePath && !o.code) {
    const char* tmp = std::getenv("TMPDIR");
    imagePath = std::string(tmp && *tmp ? tmp : "/tmp") + "/nb-verification-" +
                std::to_string(::getpid()) + ".png";
  }
  if (imagePath) {
    auto image =
        UrlFetch::get(*verification->urlString,
                      std::chrono::seconds(context.options().timeoutSeconds), kMaxImageBytes);
    if (auto* error = std::get_if<UrlFetchError>(&image)) {
      return error->timedOut ? Status::timeout("verification image: " + error->message)
                             : Status::network("verification image: " + error->message);
    }
    if (Status status = saveImage(*imagePath, std::get<std::string>(image)); !status.ok()) {
      return status;
    }
    context.printer().note("Verification image: " + *imagePath);
  }

  std::optional<std::string> code = o.code;
  if (!code) code = TerminalPrompt::ask("Code shown in the image: ", false);
  if (!code || code->empty()) return Status::invalidArgument("no verification code given");
  verification->verifiCode = *code;

  auto item = std::make_shared<NBRegisterOperationItem>();
  item->userName = o.user;
  item->password = input->password;
  item->consumer = input->consumer;
  item->httpMethod = "POST";
  item->verifi = verification;
  item->deviceID = NBSharedUDID::value();
  const auto registered = context.perform<NBRegisterOperation>(item);
  if (!registered.ok()) return registered.status();

  // As the registration screen does: sign the new account in at once.
  if (Status status = signIn(context, o.user, input->consumer, input->password); !status.ok()) {
    return status;
  }
  JsonValue value = signedInValue(o.user);
  value.set("registered", JsonValue(true));
  value.set("image", imagePath ? JsonValue(*imagePath) : JsonValue());
  context.printer().result(value, "Registered and signed in as " + o.user);
  return Status::OK();
}

Status runInfo(CommandContext& context) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const auto outcome = context.perform<NBGetUserInfoOperation>(std::make_shared<NBOperationItem>());
  if (!outcome.ok()) return outcome.status();
  const auto info = outcome->recordAs<NBUserInfo>();
  if (!info) return Status::corruption("the service sent no account record");

  JsonValue value = JsonValue::object();
  value.set("user_id", JsonValue(static_cast<std::int64_t>(info->userID)));
  value.set("user_name", info->userName ? JsonValue(*info->userName) : JsonValue());
  value.set("max_file_size", JsonValue(static_cast<std::int64_t>(info->maxFileSize)));
  value.set("quota_total", JsonValue(static_cast<std::int64_t>(info->quotaTotal)));
  value.set("quota_used", JsonValue(static_cast<std::int64_t>(info->quotaUsed)));

  const auto bytes = [](std::int64_t n) {
    return ProgressBar::formatBytes(static_cast<double>(n));
  };
  std::string plain = "User:          " + Printer::visible(info->userName.value_or("")) + " (id " +
                      std::to_string(info->userID) + ")\n" +
                      "Quota:         " + bytes(info->quotaUsed) + " used of " +
                      bytes(info->quotaTotal) + "\n" + "Largest file:  " + bytes(info->maxFileSize);
  context.printer().result(value, plain);
  return Status::OK();
}

}  // namespace

CommandRun declareLogin(CLI::App& sub) {
  auto o = std::make_shared<SignInOptions>();
  addSignInOptions(sub, *o);
  return [o](CommandContext& context) { return runLogin(context, *o); };
}

CommandRun declareLogout(CLI::App&) {
  return [](CommandContext& context) {
    CredentialStore::clearAuthInfo();
    JsonValue value = JsonValue::object();
    value.set("signed_in", JsonValue(false));
    context.printer().result(value, "Signed out");
    return Status::OK();
  };
}

CommandRun declareRegister(CLI::App& sub) {
  auto o = std::make_shared<SignInOptions>();
  addSignInOptions(sub, *o);
  sub.add_option("--code", o->code,
                 "Verification code (prompted, with the image saved, when absent)");
  sub.add_option("--image", o->image, "Where to save the verification image (PNG)");
  return [o](CommandContext& context) { return runRegister(context, *o); };
}

CommandRun declareInfo(CLI::App&) { return runInfo; }

}  // namespace nb::cli
