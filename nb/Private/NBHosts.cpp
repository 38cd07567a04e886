#include "nb/Private/NBHosts.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>

#include "nb/platform/internal/EnvironmentSettings.h"

namespace nb {
namespace {

bool isLoopbackName(const std::string& name) {
  return name == "localhost" || name.starts_with("127.") || name == "::1" || name == "[::1]";
}

// Whether every address `host` resolves to is a loopback one.
bool resolvesToLoopbackOnly(const std::string& host) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
  for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
    if (at->ai_family == AF_INET) {
      const auto* address = reinterpret_cast<const sockaddr_in*>(at->ai_addr);
      if ((ntohl(address->sin_addr.s_addr) >> 24) != 127) return false;
    } else if (at->ai_family == AF_INET6) {
      const auto* address = reinterpret_cast<const sockaddr_in6*>(at->ai_addr);
      if (!IN6_IS_ADDR_LOOPBACK(&address->sin6_addr)) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

const std::string& NBHosts::apiHost() { return EnvironmentSettings::process().apiHost; }

const std::string& NBHosts::contentHost() { return EnvironmentSettings::process().contentHost; }

const std::string& NBHosts::conversionHost() {
  return EnvironmentSettings::process().conversionHost;
}

const std::string& NBHosts::webHost() { return EnvironmentSettings::process().webHost; }

bool NBHosts::staysOnThisMachine(const std::string& host, int port) {
  // An entry "HOST:PORT:TO-HOST:TO-PORT"; an empty HOST or PORT matches any.
  for (const std::string& entry : EnvironmentSettings::process().connectTo) {
    const auto first = entry.find(':');
    const auto second = entry.find(':', first == std::string::npos ? first : first + 1);
    const auto last = entry.rfind(':');
    if (second == std::string::npos || last <= second) continue;
    const std::string from = entry.substr(0, first);
    const std::string fromPort = entry.substr(first + 1, second - first - 1);
    if ((!from.empty() && from != host) ||
        (!fromPort.empty() && fromPort != std::to_string(port))) {
      continue;
    }
    const std::string to = entry.substr(second + 1, last - second - 1);
    return to.empty() ? resolvesToLoopbackOnly(host)
                      : isLoopbackName(to) || resolvesToLoopbackOnly(to);
  }
  return resolvesToLoopbackOnly(host);
}

}  // namespace nb
