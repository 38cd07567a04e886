// Device holds what the application and tests set about the device: its
// user-interface idiom (phone or tablet), its physical orientation and the
// status bar's interface orientation. Changing the device orientation posts
// kDeviceOrientationDidChangeNotification. Main thread only.
#pragma once

namespace nb::ui {

enum UserInterfaceIdiom { kUserInterfaceIdiomPhone = 0, kUserInterfaceIdiomPad = 1 };

// Orientation values shared by the device and the interface.
enum InterfaceOrientation {
  kOrientationUnknown = 0,
  kOrientationPortrait = 1,
  kOrientationPortraitUpsideDown = 2,
  kOrientationLandscapeRight = 3,
  kOrientationLandscapeLeft = 4,
};

class Device {
 public:
  static int userInterfaceIdiom();
  static void setUserInterfaceIdiom(int idiom);
  static int orientation();
  // Stores the orientation and posts the orientation notification.
  static void setOrientation(int orientation);
  static int statusBarOrientation();
  static void setStatusBarOrientation(int orientation);
};

}  // namespace nb::ui
