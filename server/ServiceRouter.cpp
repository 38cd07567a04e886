#include "server/ServiceRouter.h"

#include <charconv>
#include <exception>

#include "nb/platform/AsciiText.h"

namespace nb::server {
namespace {

bool hasBody(const httplib::Request& req) {
  return req.has_header("Transfer-Encoding") ||
         (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0");
}

}  // namespace

const ServiceRouter::Route* ServiceRouter::Posts::find(const std::string& path) const {
  for (const auto& route : routes) {
    if (std::regex_match(path, route.pattern)) return &route;
  }
  return nullptr;
}

ServiceRouter::ServiceRouter(HttpTransport& http, HttpTransport& https, ServiceContext& context)
    : http_(http), https_(https), context_(context), posts_(std::make_shared<Posts>()) {
  for (auto [server, scheme] : {std::pair{&http_, "http"}, std::pair{&https_, "https"}}) {
    // Unknown paths and methods answer in the service's own JSON form.
    server->setFinish([](const httplib::Request&, httplib::Response& res) {
      if (res.content_provider_) return;  // a reply that streams out (refuseUnread)
      if (res.body.empty() && res.status == 404) {
        res.set_content(JsonReply::message("no such api implemented"), "application/json");
      } else if (res.body.empty() && res.status == 413) {
        res.set_content(JsonReply::message("request too large"), "application/json");
      } else if (res.body.empty() && res.status >= 400) {
        res.set_content(JsonReply::message("bad request"), "application/json");
      }
    });
    // Only posts to our routes read their bodies themselves; the transport
    // reads any other body whole into memory, so a large one is refused
    // unread (and the connection closed, as its rest cannot be skipped here).
    server->setScreen([posts = posts_](const httplib::Request& req, httplib::Response& res) {
      if (req.method == "POST" && posts->find(req.path)) return false;
      if (!hasBody(req)) return false;
      const std::string length = req.get_header_value("Content-Length");
      std::size_t declared = 0;
      const auto [end, ec] =
          std::from_chars(length.data(), length.data() + length.size(), declared);
      if (!req.has_header("Transfer-Encoding") && ec == std::errc() &&
          end == length.data() + length.size() && declared <= kMaxFormBody) {
        return false;
      }
      res.status = 413;
      res.set_header("Connection", "close");
      res.set_content(JsonReply::message("request too large"), "application/json");
      return true;
    });
    server->setExpect([posts = posts_, context = &context_, scheme = std::string(scheme)](
                          const httplib::Request& req, httplib::Response& res) {
      const Route* route = req.method == "POST" ? posts->find(req.path) : nullptr;
      if (!route) return 100;  // judged by the pre-routing check
      Call call(req, res, scheme, *context);
      if (context->hosts.roleOf(call.host()) != route->role) return 100;
      if (!route->streamed) {
        const auto length = call.contentLength();
        if (length && *length > static_cast<std::int64_t>(kMaxFormBody)) {
          call.fail(413, "request too large");
          return 413;
        }
        return 100;
      }
      if (route->precheck && !route->precheck(call)) return res.status;
      return 100;
    });
  }
}

template <typename Register, typename Body>
void ServiceRouter::install(Register registerOn, HostRole role, Body body) {
  for (auto [server, scheme] : {std::pair{&http_, "http"}, std::pair{&https_, "https"}}) {
    registerOn(*server,
               [context = &context_, role, body, scheme = std::string(scheme)](auto&&... args) {
                 const httplib::Request& req = std::get<0>(std::forward_as_tuple(args...));
                 httplib::Response& res = std::get<1>(std::forward_as_tuple(args...));
                 Call call(req, res, scheme, *context);
                 if (context->hosts.roleOf(call.host()) != role) {
                   if constexpr (sizeof...(args) == 3) {
                     // A post's body is still unread: it must not be taken for a request.
                     call.refuseUnread(404, "no such api implemented",
                                       std::get<2>(std::forward_as_tuple(args...)));
                   } else {
                     call.fail(404, "no such api implemented");
                   }
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
  install(
      [&](HttpTransport& s, auto fn) {
        // The API host's calls are short database work: they run on the io
        // threads, with no switch to a worker.
        s.get(
            pattern, [fn](const httplib::Request& q, httplib::Response& r) { fn(q, r); },
            role == HostRole::kApi);
      },
      role, [handler](Call& call, const httplib::Request&, httplib::Response&) { handler(call); });
}

void ServiceRouter::post(HostRole role, const std::string& pattern, Handler handler) {
  postStream(role, pattern, [handler](Call& call, const httplib::ContentReader& reader) {
    if (const auto length = call.contentLength();
        length && *length > static_cast<std::int64_t>(kMaxFormBody)) {
      return call.refuseUnread(413, "request too large", reader);
    }
    // A chunked body has no declared length: it is read to its end, keeping
    // no more than the limit.
    std::string body;
    bool over = false;
    const bool read = reader([&](const char* data, std::size_t size) {
      if (over || body.size() + size > kMaxFormBody) {
        over = true;
      } else {
        body.append(data, size);
      }
      return true;
    });
    if (!read) return call.fail(400, "bad request");
    if (over) return call.fail(413, "request too large");
    call.setBody(std::move(body));
    handler(call);
  });
  posts_->routes.back().streamed = false;
}

void ServiceRouter::postStream(HostRole role, const std::string& pattern, StreamHandler handler,
                               Precheck precheck) {
  posts_->routes.push_back(Route{role, std::regex(pattern), precheck, true});
  install(
      [&](HttpTransport& s, auto fn) {
        s.post(pattern, [fn](const httplib::Request& q, httplib::Response& r,
                             const httplib::ContentReader& reader) { fn(q, r, reader); });
      },
      role,
      [handler](Call& call, const httplib::Request& req, httplib::Response&,
                const httplib::ContentReader& reader) {
        call.setContentType(req.get_header_value("Content-Type"));
        handler(call, reader);
      });
}

}  // namespace nb::server
