#include "nb/Private/NBHosts.h"

#include "nb/platform/internal/EnvironmentSettings.h"

namespace nb {

const std::string& NBHosts::apiHost() { return EnvironmentSettings::process().apiHost; }

const std::string& NBHosts::contentHost() { return EnvironmentSettings::process().contentHost; }

const std::string& NBHosts::conversionHost() {
  return EnvironmentSettings::process().conversionHost;
}

const std::string& NBHosts::webHost() { return EnvironmentSettings::process().webHost; }

}  // namespace nb
