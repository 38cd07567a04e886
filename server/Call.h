// Call: one request being answered — the request, its response, the scheme it
// came in on and the identity OAuth established. Lives on the request thread
// for the duration of one handler.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/JsonReply.h"
#include "server/ServiceContext.h"
#include "server/StoragePath.h"

namespace nb::server {

class Call {
 public:
  enum class Access { kConsumer, kRequestToken, kAccessToken };

  Call(const httplib::Request& request, httplib::Response& response, std::string scheme,
       ServiceContext& context);

  const httplib::Request& request;
  httplib::Response& response;
  ServiceContext& context;

  const std::string& scheme() const { return scheme_; }
  std::string host() const { return request.get_header_value("Host"); }
  std::string baseUrl() const { return scheme_ + "://" + host(); }
  // The raw path of the request target (still percent-encoded).
  std::string rawPath() const { return request.target.substr(0, request.target.find('?')); }

  void reply(const JsonReply& body) { reply(200, body.str()); }
  void reply(int status, const std::string& json);
  void fail(int status, std::string_view keyword);
  // Refuses the request for a failed write of the server's own records
  // (Database::writeFailure).
  void failStorage(const Status& failure);
  // Refuses a request whose body has not been read: the reply goes out at
  // once, marked to close the connection, and the rest of the body is then
  // read and dropped (a client that stops sending ends it sooner), so that no
  // part of it is taken for a next request. `reader` must be the request's.
  void refuseUnread(int status, std::string_view keyword, const httplib::ContentReader& reader);
  // The same for the refusal already set on the response.
  void refuseUnread(const httplib::ContentReader& reader);

  // The request's Content-Length: nullopt when absent or malformed.
  std::optional<std::int64_t> contentLength() const;
  // The body of a form post, read by the router within its size limit.
  const std::string& body() const { return body_; }
  void setBody(std::string body) { body_ = std::move(body); }
  // The Content-Type as sent (the router may hide it from the transport).
  std::string contentType() const {
    return contentType_ ? *contentType_ : request.get_header_value("Content-Type");
  }
  void setContentType(std::string type) { contentType_ = std::move(type); }

  // Verifies the signature and, for kAccessToken, that the token is a live
  // access token of an existing user; kRequestToken wants a request token.
  // Replies with the refusal and returns false when the request is not accepted.
  bool authenticate(Access access, const std::string* formBody = nullptr,
                    bool omitEmptyChallenge = false);
  // authenticate() without spending the nonce and without replying: for
  // judging a request by its headers before its body is asked for.
  bool preview(Access access);
  const OAuthOutcome& oauth() const { return oauth_; }
  const UserRecord& user() const { return *user_; }

  // A parameter: the signed ones after authenticate(), else the raw query's.
  std::optional<std::string> param(std::string_view name);
  // The "root" and normalised "path" parameters; replies 400 "bad parameters"
  // and returns false when one is missing or unsafe.
  bool location(std::string* root, std::string* path, const char* pathName = "path");
  // Root and path from the URL after `prefix` ("/1/history/app//a.txt"), unless
  // the request names them as parameters.
  bool locationFromUrl(std::string_view prefix, std::string* root, std::string* path);
  Owner owner(const std::string& root) const { return Owner{user_->id, root}; }

 private:
  bool admit(Access access);
  std::string scheme_;
  std::string body_;
  std::optional<std::string> contentType_;
  OAuthOutcome oauth_;
  std::optional<RequestParameters> query_;
  std::optional<UserRecord> user_;
};

// Replies with the status and keyword of a refused tree change (the Status's
// message is the keyword).
void failTree(Call& call, const Status& status);
// An entry as the service describes it in replies.
JsonReply entryJson(const std::string& root, const Entry& entry);

}  // namespace nb::server
