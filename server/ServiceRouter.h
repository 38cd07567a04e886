// ServiceRouter registers each endpoint on both listeners (HTTP and HTTPS) for
// one host role: a request for another host gets "no such api implemented".
// It also bounds what a request may make the server read: a form post's body
// is read by the router up to kMaxFormBody, a streamed post's handler reads its
// own, and any other request with a larger body is refused before it is read.
// Used while setting up, before the listeners start; the installed handlers
// keep only the context (which must outlive the listeners) and run on the
// request threads.
#pragma once

#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "server/Call.h"
#include "server/HostNames.h"
#include "server/HttpTransport.h"

namespace nb::server {

class ServiceRouter {
 public:
  using Handler = std::function<void(Call&)>;
  using StreamHandler = std::function<void(Call&, const httplib::ContentReader&)>;
  // Judges a streamed post by its headers alone; false after replying with the
  // refusal. Answers "Expect: 100-continue" and runs again in the handler.
  using Precheck = std::function<bool(Call&)>;

  static constexpr std::size_t kMaxFormBody = 64 * 1024;

  ServiceRouter(HttpTransport& http, HttpTransport& https, ServiceContext& context);

  void get(HostRole role, const std::string& pattern, Handler handler);
  // A form post: the handler finds the body in Call::body().
  void post(HostRole role, const std::string& pattern, Handler handler);
  // A post whose body the handler reads itself, as it arrives.
  void postStream(HostRole role, const std::string& pattern, StreamHandler handler,
                  Precheck precheck = nullptr);

 private:
  struct Route {
    HostRole role;
    std::regex pattern;
    Precheck precheck;  // streamed posts only
    bool streamed = false;
  };
  struct Posts {
    std::vector<Route> routes;
    const Route* find(const std::string& path) const;
  };
  template <typename Register, typename Body>
  void install(Register registerOn, HostRole role, Body body);
  HttpTransport& http_;
  HttpTransport& https_;
  ServiceContext& context_;
  std::shared_ptr<Posts> posts_;
};

}  // namespace nb::server
