// AdminService: the testing API on its own loopback port, never on the
// service's: GET /healthz for anyone, and behind a bearer token (made at
// start) the fault rules (GET/POST /faults, DELETE /faults/ID) and the recent
// request log (GET /requests). Owns its listener; refers to the rules and log
// the server owns. Start and stop from one thread.
#pragma once

#include <memory>
#include <string>

#include "server/FaultRules.h"
#include "server/HttpTransport.h"
#include "server/RequestLog.h"

namespace nb::server {

class AdminService {
 public:
  AdminService(FaultRules& faults, RequestLog& log);
  ~AdminService();

  // Binds 127.0.0.1:`port` (0 picks a free one) and serves; the port, or -1.
  int start(int port);
  void stop();
  const std::string& token() const { return token_; }

 private:
  FaultRules& faults_;
  RequestLog& log_;
  std::string token_;
  std::unique_ptr<HttpTransport> http_;
};

}  // namespace nb::server
