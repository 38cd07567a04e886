// ServiceRouter registers each endpoint on both listeners (HTTP and HTTPS) for
// one host role: a request for another host gets "no such api implemented".
// Used while setting up, before the listeners start; the installed handlers
// keep only the context (which must outlive the listeners) and run on the
// request threads.
#pragma once

#include <httplib.h>

#include <functional>
#include <string>

#include "server/Call.h"
#include "server/HostNames.h"

namespace nb::server {

class ServiceRouter {
 public:
  using Handler = std::function<void(Call&)>;
  using StreamHandler = std::function<void(Call&, const httplib::ContentReader&)>;

  ServiceRouter(httplib::Server& http, httplib::Server& https, ServiceContext& context);

  void get(HostRole role, const std::string& pattern, Handler handler);
  void post(HostRole role, const std::string& pattern, Handler handler);
  // A post whose body the handler reads itself, as it arrives.
  void postStream(HostRole role, const std::string& pattern, StreamHandler handler);

 private:
  template <typename Register, typename Body>
  void install(Register registerOn, HostRole role, Body body);
  httplib::Server& http_;
  httplib::Server& https_;
  ServiceContext& context_;
};

}  // namespace nb::server
