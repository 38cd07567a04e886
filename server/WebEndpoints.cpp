#include "server/WebEndpoints.h"

#include "server/ContentEndpoints.h"
#include "server/HtmlText.h"
#include "server/Secrets.h"

namespace nb::server {
namespace {

constexpr const char* kSessionCookie = "nb_session";

void page(Call& call, int status, const std::string& title, const std::string& body) {
  call.response.status = status;
  call.response.set_content("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                                HtmlText::escape(title) + "</title></head><body><h1>" +
                                HtmlText::escape(title) + "</h1>\n" + body + "</body></html>\n",
                            "text/html; charset=utf-8");
}

std::optional<std::int64_t> signedInUser(Call& call) {
  const std::string cookies = call.request.get_header_value("Cookie");
  const std::string key = std::string(kSessionCookie) + "=";
  auto at = cookies.find(key);
  if (at == std::string::npos) return std::nullopt;
  at += key.size();
  const auto end = cookies.find(';', at);
  return call.context.accounts.sessionUser(cookies.substr(at, end == std::string::npos ? end : end - at));
}

void signInForm(Call& call, const std::string& token, const std::string& note) {
  page(call, 200, "Authorise application",
       (note.empty() ? "" : "<p>" + HtmlText::escape(note) + "</p>\n") +
           "<form method=\"post\" action=\"/api.php?ac=open&amp;op=authorise&amp;oauth_token=" +
           HtmlText::escape(token) +
           "\">\n<label>User name <input name=\"username\"></label>\n"
           "<label>Password <input type=\"password\" name=\"password\"></label>\n"
           "<button type=\"submit\">Sign in and allow</button>\n</form>\n");
}

// The request token named by the page's query; replies and returns nullopt
// when it is missing, unknown, spent or not a request token.
std::optional<std::string> pageToken(Call& call) {
  if (call.param("ac") != "open" || call.param("op") != "authorise") {
    call.fail(404, "no such api implemented");
    return std::nullopt;
  }
  const auto token = call.param("oauth_token");
  const auto record = token ? call.context.accounts.token(*token) : std::nullopt;
  if (!record || record->isAccess || record->revoked) {
    call.fail(401, "authorization expired");
    return std::nullopt;
  }
  return token;
}

void authorised(Call& call, const std::string& token, std::int64_t userId) {
  if (!call.context.accounts.authoriseRequestToken(token, userId)) {
    return call.fail(401, "authorization expired");
  }
  const auto user = call.context.accounts.user(userId);
  page(call, 200, "Application authorised",
       "<p>Signed in as " + HtmlText::escape(user ? user->name : "") +
           ". You may return to the application.</p>\n");
}

}  // namespace

void WebEndpoints::registerRoutes(ServiceRouter& router) {
  router.get(HostRole::kWeb, "/api.php", authorisePage);
  router.post(HostRole::kWeb, "/api.php", authoriseSignIn);
  router.get(HostRole::kWeb, "/s/[0-9a-f]+", sharePage);
}

void WebEndpoints::authorisePage(Call& call) {
  const auto token = pageToken(call);
  if (!token) return;
  auto user = signedInUser(call);
  // In development the page allows at once, for the signed-in user or else the
  // first account, so scripted flows need no browser.
  if (!user && call.context.dev) {
    if (const auto first = call.context.accounts.firstUser()) user = first->id;
  }
  if (!user) return signInForm(call, *token, "");
  authorised(call, *token, *user);
}

void WebEndpoints::authoriseSignIn(Call& call) {
  const auto token = pageToken(call);
  if (!token) return;
  const auto form = RequestParameters::parse(call.body());
  const auto name = form ? form->get("username") : std::nullopt;
  const auto password = form ? form->get("password") : std::nullopt;
  const auto user = name && password ? call.context.accounts.login(*name, *password) : std::nullopt;
  if (!user) return signInForm(call, *token, "Wrong user name or password.");
  const std::string session = call.context.accounts.createSession(user->id);
  call.response.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + session +
                                             "; Path=/; HttpOnly; SameSite=Lax");
  authorised(call, *token, user->id);
}

void WebEndpoints::sharePage(Call& call) {
  const std::string id = call.rawPath().substr(3);
  const auto share = call.context.tree.share(id);
  if (!share) return page(call, 404, "No such share", "");
  // A link ends with its entry: deleted, or moved away and something else
  // now at its path. An overwrite keeps the entry, and so the link.
  const auto entry = call.context.tree.find(share->owner, share->path);
  if (!entry || entry->fileId != share->fileId) {
    return page(call, 404, "The shared file is gone", "");
  }
  if (!share->accessCode.empty()) {
    const auto typed = call.param("access_code");
    if (typed && !call.context.tree.shareTakesCodes(share->id)) {
      return page(call, 429, share->name,
                  "<p>Too many wrong access codes; try again in a few minutes.</p>\n");
    }
    const bool right = typed && Secrets::equalConstantTime(*typed, share->accessCode);
    if (typed) call.context.tree.shareCodeTried(share->id, right);
    if (!right) {
      return page(call, typed ? 403 : 401, share->name,
                  std::string(typed ? "<p>Wrong access code.</p>\n" : "") +
                      "<form method=\"get\"><label>Access code <input name=\"access_code\">"
                      "</label><button type=\"submit\">Open</button></form>\n");
    }
  }
  if (!entry->isDir) {
    call.response.set_header("Content-Disposition", "attachment");
    if (!ContentEndpoints::sendBlob(call, *entry, "application/octet-stream")) {
      page(call, 500, "Server error", "");
    }
    return;
  }
  std::string list = "<ul>\n";
  for (const auto& child : call.context.tree.children(share->owner, share->path)) {
    list += "<li>" + HtmlText::escape(child.name) + (child.isDir ? "/" : "") + "</li>\n";
  }
  page(call, 200, share->name, list + "</ul>\n");
}

}  // namespace nb::server
