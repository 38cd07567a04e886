#include "nb/platform/internal/EnvironmentSettings.h"

#include <cstdlib>
#include <string_view>

#include "nb/platform/AsciiText.h"

namespace nb {
namespace {

const char* processVariable(const char* name) { return std::getenv(name); }

}  // namespace

std::vector<std::string> EnvironmentSettings::splitConnectTo(const std::string& value) {
  std::vector<std::string> entries;
  std::string_view rest(value);
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const auto entry = ascii::trim(rest.substr(0, comma));
    if (!entry.empty()) entries.emplace_back(entry);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  return entries;
}

EnvironmentSettings EnvironmentSettings::fromEnvironment(const char* (*lookup)(const char*)) {
  EnvironmentSettings settings;
  const auto valueOf = [lookup](const char* name) -> const char* {
    const char* value = lookup(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
  };
  const auto read = [&valueOf](const char* name, std::string& field) {
    if (const char* value = valueOf(name)) field = value;
  };
  read("NB_API_HOST", settings.apiHost);
  read("NB_CONTENT_HOST", settings.contentHost);
  read("NB_CONVERSION_HOST", settings.conversionHost);
  read("NB_WEB_HOST", settings.webHost);
  read("NB_CA_FILE", settings.caFile);
  std::string connectTo;
  read("NB_CONNECT_TO", connectTo);
  settings.connectTo = splitConnectTo(connectTo);
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    if (valueOf(name) != nullptr) settings.proxyFromEnvironment = true;
  }
  return settings;
}

const EnvironmentSettings& EnvironmentSettings::process() {
  static const EnvironmentSettings settings = fromEnvironment(&processVariable);
  return settings;
}

}  // namespace nb
