// EnvironmentSettings holds what the library takes from the process
// environment: the service's host names and where the transport sends them.
// The process's value is read once, on first use; tests make their own value
// and hand it to what they run (Transport::curl) instead of changing the
// environment. A plain value, safe to copy between threads.
#pragma once

#include <string>
#include <vector>

namespace nb {

struct EnvironmentSettings {
  std::string apiHost = "api.nimbus.test";             // NB_API_HOST
  std::string contentHost = "content.nimbus.test";     // NB_CONTENT_HOST
  std::string conversionHost = "convert.nimbus.test";  // NB_CONVERSION_HOST
  std::string webHost = "www.nimbus.test";             // NB_WEB_HOST
  // NB_CA_FILE: the CA bundle to trust instead of the system's; empty: system.
  std::string caFile;
  // NB_CONNECT_TO, split at commas and trimmed: "HOST:PORT:TO-HOST:TO-PORT".
  std::vector<std::string> connectTo;
  // True when a proxy variable the transport honours is set (http_proxy,
  // https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY): requests then go as
  // libcurl decides from the environment; otherwise straight to the host.
  bool proxyFromEnvironment = false;

  // Reads the variables above through `lookup` (getenv-like: null or empty is
  // unset, which keeps the default).
  static EnvironmentSettings fromEnvironment(const char* (*lookup)(const char*));
  // The process's settings, read from its environment on first use (thread-safe).
  static const EnvironmentSettings& process();
  // Splits a comma-separated NB_CONNECT_TO value into trimmed, non-empty entries.
  static std::vector<std::string> splitConnectTo(const std::string& value);
};

}  // namespace nb
