#include "nb/ui/toolkit/Device.h"

#include "nb/ui/toolkit/NotificationCenter.h"

namespace nb::ui {

namespace {
int gIdiom = kUserInterfaceIdiomPhone;
int gOrientation = kOrientationPortrait;
int gStatusBarOrientation = kOrientationPortrait;
}  // namespace

int Device::userInterfaceIdiom() { return gIdiom; }
void Device::setUserInterfaceIdiom(int idiom) { gIdiom = idiom; }
int Device::orientation() { return gOrientation; }
void Device::setOrientation(int orientation) {
  gOrientation = orientation;
  NotificationCenter::defaultCenter().postNotificationName(kDeviceOrientationDidChangeNotification);
}
int Device::statusBarOrientation() { return gStatusBarOrientation; }
void Device::setStatusBarOrientation(int orientation) { gStatusBarOrientation = orientation; }

}  // namespace nb::ui
