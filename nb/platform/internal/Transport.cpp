#include "nb/platform/internal/Transport.h"

#include <mutex>

namespace nb {
namespace {

std::mutex standardLock;
std::shared_ptr<Transport>& standardSlot() {
  static std::shared_ptr<Transport> slot;
  return slot;
}

}  // namespace

std::shared_ptr<Transport> Transport::standard() {
  std::lock_guard<std::mutex> lock(standardLock);
  std::shared_ptr<Transport>& slot = standardSlot();
  if (!slot) slot = curl(EnvironmentSettings::process());
  return slot;
}

void Transport::setStandard(std::shared_ptr<Transport> transport) {
  std::shared_ptr<Transport> previous;  // released outside the lock
  std::lock_guard<std::mutex> lock(standardLock);
  previous = std::exchange(standardSlot(), std::move(transport));
}

}  // namespace nb
