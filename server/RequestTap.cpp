#include "server/RequestTap.h"

#include "server/RequestParameters.h"

namespace nb::server {

const char* RequestTap::roleName(HostRole role) {
  switch (role) {
    case HostRole::kApi:
      return "api";
    case HostRole::kContent:
      return "content";
    case HostRole::kConversion:
      return "conversion";
    case HostRole::kWeb:
      return "web";
    case HostRole::kUnknown:
      break;
  }
  return "unknown";
}

std::optional<HttpTransport::Disruption> RequestTap::inspect(const httplib::Request& req) {
  const FaultTarget target{roleName(hosts_.roleOf(req.get_header_value("Host"))), req.method,
                           req.path, [&] { return userOf(req); }};
  return faults_.match(target);
}

void RequestTap::served(const httplib::Request& req, const HttpTransport::Exchange& exchange) {
  if (!log_) return;
  RequestLog::Entry entry;
  entry.connection = exchange.connection;
  entry.hostRole = roleName(hosts_.roleOf(req.get_header_value("Host")));
  entry.method = req.method;
  entry.target = req.target;
  entry.user = userOf(req);
  entry.requestId = req.get_header_value("X-Request-Id");
  entry.fault = exchange.fault;
  entry.status = exchange.status;
  entry.bytesIn = exchange.bytesIn;
  entry.bytesOut = exchange.bytesOut;
  entry.micros = static_cast<std::uint64_t>(exchange.duration.count());
  log_->record(entry);
}

std::string RequestTap::userOf(const httplib::Request& req) const {
  std::optional<std::string> token;
  RequestParameters header;
  if (RequestParameters::addAuthorization(req.get_header_value("Authorization"), &header)) {
    token = header.get("oauth_token");
  }
  if (!token) {
    const std::size_t question = req.target.find('?');
    if (question != std::string::npos) {
      if (const auto query = RequestParameters::parse(req.target.substr(question + 1))) {
        token = query->get("oauth_token");
      }
    }
  }
  if (!token || token->empty()) return {};
  const auto record = accounts_.token(*token);
  if (!record || !record->userId || !record->isAccess) return {};
  const auto user = accounts_.user(*record->userId);
  return user ? user->name : std::string();
}

}  // namespace nb::server
