#include "server/HostNames.h"

#include <cctype>

#include "nb/Private/NBHosts.h"
#include "nb/platform/AsciiText.h"

namespace nb::server {

HostNames::HostNames()
    : api_(NBHosts::apiHost()),
      content_(NBHosts::contentHost()),
      conversion_(NBHosts::conversionHost()),
      web_(NBHosts::webHost()) {}

HostRole HostNames::roleOf(const std::string& hostHeader) const {
  // Strip the port; a bracketed IPv6 literal is never one of our names anyway.
  const std::string host = ascii::lowercase(hostHeader.substr(0, hostHeader.find(':')));
  if (host == api_) return HostRole::kApi;
  if (host == content_) return HostRole::kContent;
  if (host == conversion_) return HostRole::kConversion;
  if (host == web_) return HostRole::kWeb;
  return HostRole::kUnknown;
}

const std::string& HostNames::name(HostRole role) const {
  switch (role) {
    case HostRole::kContent:
      return content_;
    case HostRole::kConversion:
      return conversion_;
    case HostRole::kWeb:
      return web_;
    default:
      return api_;
  }
}

std::string HostNames::connectTo(int httpPort, int httpsPort) const {
  std::string list;
  for (const auto& host : all()) {
    for (const auto& [port, real] : {std::pair{80, httpPort}, std::pair{443, httpsPort}}) {
      if (!list.empty()) list += ',';
      list += host + ":" + std::to_string(port) + ":127.0.0.1:" + std::to_string(real);
    }
  }
  return list;
}

}  // namespace nb::server
