#include "nb/ui/toolkit/NotificationCenter.h"

#include <algorithm>

namespace nb::ui {

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter center;
  return center;
}

void NotificationCenter::addObserver(const void* observer, const std::string& name,
                                     std::function<void()> handler) {
  entries_.push_back({observer, name, std::move(handler)});
}

void NotificationCenter::removeObserver(const void* observer) {
  std::erase_if(entries_, [observer](const Entry& e) { return e.observer == observer; });
}

void NotificationCenter::postNotificationName(const std::string& name) {
  // Handlers may add or remove observers: deliver to a snapshot of those
  // registered now, skipping any removed on the way.
  std::vector<std::pair<const void*, std::function<void()>>> targets;
  for (const Entry& e : entries_) {
    if (e.name == name) targets.emplace_back(e.observer, e.handler);
  }
  for (auto& [observer, handler] : targets) {
    const bool stillThere = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
      return e.observer == observer && e.name == name;
    });
    if (stillThere) handler();
  }
}

}  // namespace nb::ui
