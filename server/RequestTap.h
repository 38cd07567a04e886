// RequestTap: what the server's listeners report to for testing: each request
// is checked against the fault rules and, once answered, written to the
// request log. Refers to the rules, log and stores the server owns; any thread.
#pragma once

#include "server/AccountStore.h"
#include "server/FaultRules.h"
#include "server/HostNames.h"
#include "server/HttpTransport.h"
#include "server/RequestLog.h"

namespace nb::server {

class RequestTap : public HttpTransport::Tap {
 public:
  // `log` may be null (no request log).
  RequestTap(FaultRules& faults, RequestLog* log, const HostNames& hosts, AccountStore& accounts)
      : faults_(faults), log_(log), hosts_(hosts), accounts_(accounts) {}

  bool armed() const override { return faults_.armed(); }
  std::optional<HttpTransport::Disruption> inspect(const httplib::Request& req) override;
  void served(const httplib::Request& req, const HttpTransport::Exchange& exchange) override;

  static const char* roleName(HostRole role);

 private:
  // The name of the user whose access token signed the request; empty if none.
  std::string userOf(const httplib::Request& req) const;

  FaultRules& faults_;
  RequestLog* log_;
  const HostNames& hosts_;
  AccountStore& accounts_;
};

}  // namespace nb::server
