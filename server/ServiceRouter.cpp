#include "server/ServiceRouter.h"

#include <exception>

namespace nb::server {

ServiceRouter::ServiceRouter(httplib::Server& http, httplib::Server& https,
                             ServiceContext& context)
    : http_(http), https_(https), context_(context) {
  for (httplib::Server* server : {&http_, &https_}) {
    // Unknown paths and methods answer in the service's own JSON form.
    server->set_error_handler([](const httplib::Request&, httplib::Response& res) {
      if (res.body.empty() && res.status == 404) {
        res.set_content(JsonReply::message("no such api implemented"), "application/json");
      } else if (res.body.empty() && res.status >= 400) {
        res.set_content(JsonReply::message("bad request"), "application/json");
      }
    });
  }
}

template <typename Register, typename Body>
void ServiceRouter::install(Register registerOn, HostRole role, Body body) {
  for (auto [server, scheme] : {std::pair{&http_, "http"}, std::pair{&https_, "https"}}) {
    registerOn(*server, [context = &context_, role, body,
                         scheme = std::string(scheme)](auto&&... args) {
      const httplib::Request& req = std::get<0>(std::forward_as_tuple(args...));
      httplib::Response& res = std::get<1>(std::forward_as_tuple(args...));
      Call call(req, res, scheme, *context);
      if (context->hosts.roleOf(call.host()) != role) {
        call.fail(404, "no such api implemented");
        return;
      }
      try {
        body(call, args...);
      } catch (const std::exception&) {
        call.fail(500, "server error");
      }
    });
  }
}

void ServiceRouter::get(HostRole role, const std::string& pattern, Handler handler) {
  install([&](httplib::Server& s, auto fn) {
            s.Get(pattern, [fn](const httplib::Request& q, httplib::Response& r) { fn(q, r); });
          },
          role, [handler](Call& call, const httplib::Request&, httplib::Response&) { handler(call); });
}

void ServiceRouter::post(HostRole role, const std::string& pattern, Handler handler) {
  install([&](httplib::Server& s, auto fn) {
            s.Post(pattern, [fn](const httplib::Request& q, httplib::Response& r) { fn(q, r); });
          },
          role, [handler](Call& call, const httplib::Request&, httplib::Response&) { handler(call); });
}

void ServiceRouter::postStream(HostRole role, const std::string& pattern, StreamHandler handler) {
  install(
      [&](httplib::Server& s, auto fn) {
        s.Post(pattern, [fn](const httplib::Request& q, httplib::Response& r,
                             const httplib::ContentReader& reader) { fn(q, r, reader); });
      },
      role,
      [handler](Call& call, const httplib::Request&, httplib::Response&,
                const httplib::ContentReader& reader) { handler(call, reader); });
}

}  // namespace nb::server
