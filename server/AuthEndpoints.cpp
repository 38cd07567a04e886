#include "server/AuthEndpoints.h"

#include <algorithm>
#include <cctype>

#include "nb/Private/NSURLHelper.h"
#include "server/ImageRenderer.h"
#include "server/Secrets.h"

namespace nb::server {
namespace {

JsonReply tokenJson(const TokenRecord& token) {
  JsonReply json;
  json.text("oauth_token", token.token).text("oauth_token_secret", token.secret);
  if (token.userId) json.number("user_id", *token.userId);
  return json;
}

// Codes avoid look-alike characters (0/O, 1/I/L).
std::string randomCode() {
  static const char kAlphabet[] = "23456789ABCDEFGHJKMNPQRSTUVWXYZ";
  const std::string hex = Secrets::randomHex(5);
  std::string code;
  for (std::size_t i = 0; i < 5; ++i) {
    code.push_back(kAlphabet[std::stoi(hex.substr(i * 2, 2), nullptr, 16) % 31]);
  }
  return code;
}

// Codes are read off an image: letter case is not part of them.
bool sameCode(const std::string& typed, const std::string& expected) {
  return typed.size() == expected.size() &&
         std::equal(typed.begin(), typed.end(), expected.begin(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) ==
                  std::toupper(static_cast<unsigned char>(b));
         });
}

bool validUserName(const std::string& name) {
  if (name.empty() || name.size() > 64 || !NSURLHelper::isValidUTF8(name)) return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

void AuthEndpoints::registerRoutes(ServiceRouter& router) {
  router.post(HostRole::kApi, "/open/xAccessToken", xAccessToken);
  router.get(HostRole::kApi, "/open/requestToken", requestToken);
  router.get(HostRole::kApi, "/open/accessToken", accessToken);
  router.get(HostRole::kApi, "/open/verificationURL", verificationUrl);
  router.get(HostRole::kApi, "/open/verificationImage", verificationImage);
  router.post(HostRole::kApi, "/open/register", registerUser);
}

void AuthEndpoints::xAccessToken(Call& call) {
  if (!call.authenticate(Call::Access::kConsumer, &call.body())) return;
  if (call.param("x_auth_mode") != "client_auth") return call.fail(400, "not supported auth mode");
  const auto name = call.param("x_auth_username");
  const auto password = call.param("x_auth_password");
  if (!name || !password) return call.fail(400, "bad parameters");
  const auto user = call.context.accounts.login(*name, *password);
  if (!user) return call.fail(401, "login fail");
  const auto token = call.context.accounts.issueToken(call.oauth().consumer, user->id, true);
  if (!token.ok()) return call.failStorage(token.status());
  call.reply(tokenJson(*token).text("user_name", user->name));
}

void AuthEndpoints::requestToken(Call& call) {
  if (!call.authenticate(Call::Access::kConsumer)) return;
  const auto token = call.context.accounts.issueToken(call.oauth().consumer, std::nullopt, false);
  if (!token.ok()) return call.failStorage(token.status());
  call.reply(tokenJson(*token).text(
      "authorize_url", "https://" + call.context.hosts.name(HostRole::kWeb) +
                           "/api.php?ac=open&op=authorise&oauth_token=" + token->token));
}

void AuthEndpoints::accessToken(Call& call) {
  if (!call.authenticate(Call::Access::kRequestToken)) return;
  const auto token = call.context.accounts.exchangeRequestToken(call.oauth().token->token);
  if (!token.ok()) {
    const bool spent = token.status().code() == StatusCode::kNotFound;
    return spent ? call.fail(401, "authorization expired") : call.failStorage(token.status());
  }
  call.reply(tokenJson(*token));
}

void AuthEndpoints::verificationUrl(Call& call) {
  if (!call.authenticate(Call::Access::kConsumer)) return;
  const std::string code = call.context.dev ? call.context.devCode : randomCode();
  const std::string authid = call.context.accounts.createChallenge(code);
  call.reply(JsonReply()
                 .text("url", call.baseUrl() + "/open/verificationImage?authid=" + authid)
                 .text("authid", authid));
}

void AuthEndpoints::verificationImage(Call& call) {
  const auto authid = call.param("authid");
  const auto code = authid ? call.context.accounts.challengeCode(*authid) : std::nullopt;
  if (!code) return call.fail(404, "wrong verification code");
  call.response.set_header("Cache-Control", "no-store");
  call.response.set_content(ImageRenderer::verificationImage(*code), "image/png");
}

void AuthEndpoints::registerUser(Call& call) {
  if (!call.authenticate(Call::Access::kConsumer, &call.body(), true)) return;
  const auto name = call.param("username");
  const auto password = call.param("password");
  const auto code = call.param("verification_code");
  const auto authid = call.param("authid");
  if (!name || !password || !validUserName(*name) || password->empty()) {
    return call.fail(400, "bad parameters");
  }
  // The challenge is spent by any answer, right or wrong.
  const auto expected = authid && !authid->empty() ? call.context.accounts.takeChallenge(*authid)
                                                    : std::nullopt;
  if (!expected || !code || !sameCode(*code, *expected)) {
    return call.fail(403, "wrong verification code");
  }
  switch (call.context.accounts.addUser(*name, *password)) {
    case AccountStore::AddUser::kAdded:
      return call.reply(JsonReply().text("msg", "ok"));
    case AccountStore::AddUser::kExists:
      return call.fail(403, "bad openid");
    case AccountStore::AddUser::kFailed:
      return call.fail(500, "server error");
  }
}

}  // namespace nb::server
