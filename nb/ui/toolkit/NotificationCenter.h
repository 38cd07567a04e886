// NotificationCenter delivers named notifications to the observers registered
// for them, synchronously and in registration order. An observer removes
// itself (removeObserver) before it is destroyed. Main thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace nb::ui {

// Posted by Device::setOrientation when the device's orientation changes.
inline constexpr const char* kDeviceOrientationDidChangeNotification =
    "DeviceOrientationDidChangeNotification";

class NotificationCenter {
 public:
  static NotificationCenter& defaultCenter();

  void addObserver(const void* observer, const std::string& name, std::function<void()> handler);
  // Removes every registration of `observer`.
  void removeObserver(const void* observer);
  void postNotificationName(const std::string& name);

 private:
  struct Entry {
    const void* observer;
    std::string name;
    std::function<void()> handler;
  };
  std::vector<Entry> entries_;
};

}  // namespace nb::ui
