// A stand-alone application for the multi-process test: it waits until its
// standard input closes (the start signal shared by all probes), asks for the
// identifier as the application named by NB_APP_ID, and prints
// "<identifier> <status code> <slot name or ->".
#include <unistd.h>

#include <cstdio>

#include "nb/device/NBSharedUDID.h"
#include "nb/platform/UserDefaults.h"

namespace {

std::string slotOf(const std::optional<nb::PropertyValue>& record) {
  const auto* dict = record ? record->get<nb::PropertyValue::Dictionary>() : nullptr;
  if (!dict) return "-";
  const auto it = dict->find("SharedUDID_slot");
  if (it == dict->end() || !it->second.get<std::string>()) return "-";
  return *it->second.get<std::string>();
}

}  // namespace

int main() {
  char buffer[64];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  nb::NBError error;
  const std::string udid = nb::NBSharedUDID::valueWithError(&error);
  auto defaults = nb::UserDefaults::standardUserDefaults();
  const std::string slot = defaults ? slotOf(defaults->objectForKey("SharedUDID")) : "-";
  if (error.code != 0) std::fprintf(stderr, "probe: %s\n", error.description.c_str());
  std::printf("%s %ld %s\n", udid.c_str(), error.code, slot.c_str());
  return 0;
}
