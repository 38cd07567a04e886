#include "server/Call.h"

#include <charconv>

namespace nb::server {

Call::Call(const httplib::Request& req, httplib::Response& res, std::string scheme,
           ServiceContext& ctx)
    : request(req), response(res), context(ctx), scheme_(std::move(scheme)) {}

void Call::reply(int status, const std::string& json) {
  response.status = status;
  response.set_content(json, "application/json; charset=utf-8");
}

void Call::fail(int status, std::string_view keyword) { reply(status, JsonReply::message(keyword)); }

void Call::failStorage(const Status& failure) {
  fail(Database::replyStatus(failure), failure.message());
}

bool Call::authenticate(Access access, const std::string* formBody, bool omitEmptyChallenge) {
  SignedRequest signed_{request.method, scheme_, host(), request.target,
                        request.get_header_value("Authorization"), formBody, omitEmptyChallenge};
  oauth_ = context.verifier.verify(signed_);
  if (!oauth_.ok()) {
    fail(oauth_.status, oauth_.keyword);
    return false;
  }
  return admit(access);
}

bool Call::preview(Access access) {
  SignedRequest signed_{
      request.method, scheme_, host(), request.target, request.get_header_value("Authorization"),
      nullptr,        false};
  oauth_ = context.verifier.verify(signed_, false);
  const bool ok = oauth_.ok() && admit(access);
  response = httplib::Response();
  if (!ok) oauth_ = OAuthOutcome();
  return ok;
}

bool Call::admit(Access access) {
  const auto& token = oauth_.token;
  switch (access) {
    case Access::kConsumer:
      return true;
    case Access::kRequestToken:
      if (!token || token->isAccess) return fail(401, "authorization expired"), false;
      if (!token->authorised) return fail(401, "bad verifier"), false;
      return true;
    case Access::kAccessToken:
      if (!token) return fail(401, "bad request"), false;
      if (!token->isAccess || !token->userId) return fail(401, "authorization expired"), false;
      user_ = context.accounts.user(*token->userId);
      if (!user_) return fail(401, "authorization expired"), false;
      return true;
  }
  return false;
}

void Call::refuseUnread(int status, std::string_view keyword,
                        const httplib::ContentReader& reader) {
  fail(status, keyword);
  refuseUnread(reader);
}

void Call::refuseUnread(const httplib::ContentReader& reader) {
  std::string body = std::move(response.body);
  const std::string type = response.get_header_value("Content-Type");
  response.body.clear();
  response.headers.erase("Content-Type");
  response.headers.erase("Content-Length");
  response.set_header("Connection", "close");
  // The provider runs while the reply is written, within the request's life,
  // so the reader it keeps is still good there.
  const std::size_t size = body.size();
  response.set_content_provider(
      size, type.c_str(),
      [body = std::move(body), reader](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        if (offset != 0 || !sink.write(body.data(), body.size())) return false;
        reader([](const char*, std::size_t) { return true; });
        return true;
      });
}

std::optional<std::int64_t> Call::contentLength() const {
  if (!request.has_header("Content-Length")) return std::nullopt;
  const std::string text = request.get_header_value("Content-Length");
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

std::optional<std::string> Call::param(std::string_view name) {
  if (oauth_.ok() && !oauth_.consumer.empty()) return oauth_.params.get(name);
  if (!query_) {
    const auto q = request.target.find('?');
    query_ = RequestParameters::parse(q == std::string::npos ? std::string_view()
                                                             : std::string_view(request.target).substr(q + 1))
                 .value_or(RequestParameters());
  }
  return query_->get(name);
}

bool Call::location(std::string* root, std::string* path, const char* pathName) {
  const auto r = param("root");
  const auto p = param(pathName);
  std::optional<std::string> normal;
  if (p) normal = StoragePath::normalise(*p);
  if (!r || !StoragePath::validRoot(*r) || !normal) return fail(400, "bad parameters"), false;
  *root = *r;
  *path = *normal;
  return true;
}

bool Call::locationFromUrl(std::string_view prefix, std::string* root, std::string* path) {
  if (param("root") && param("path")) return location(root, path);
  const std::string raw = rawPath();
  if (raw.compare(0, prefix.size(), prefix) != 0) return fail(400, "bad parameters"), false;
  const std::string rest = raw.substr(prefix.size());
  const auto slash = rest.find('/');
  const auto r = RequestParameters::decode(rest.substr(0, slash), false);
  const auto p = RequestParameters::decode(
      slash == std::string::npos ? std::string_view() : std::string_view(rest).substr(slash), false);
  std::optional<std::string> normal;
  if (p) normal = StoragePath::normalise(*p);
  if (!r || !StoragePath::validRoot(*r) || !normal) return fail(400, "bad parameters"), false;
  *root = *r;
  *path = *normal;
  return true;
}

void failTree(Call& call, const Status& status) {
  switch (status.code()) {
    case StatusCode::kOk:
      return;
    case StatusCode::kNotFound:
      return call.fail(404, status.message());
    case StatusCode::kAlreadyExists:
    case StatusCode::kPermissionDenied:
      return call.fail(403, status.message());
    case StatusCode::kInvalidArgument:
      return call.fail(400, status.message());
    case StatusCode::kResourceExhausted:
      return call.fail(507, status.message());
    default:
      return call.fail(500, "server error");
  }
}

JsonReply entryJson(const std::string& root, const Entry& e) {
  JsonReply json;
  json.text("root", root)
      .text("path", e.path)
      .text("file_id", e.fileId)
      .text("name", e.name)
      .text("rev", std::to_string(e.rev))
      .text("create_time", formatTime(e.created))
      .text("modify_time", formatTime(e.modified))
      .text("type", e.isDir ? "folder" : "file")
      .number("size", e.size)
      .boolean("is_deleted", false);
  return json;
}

}  // namespace nb::server
