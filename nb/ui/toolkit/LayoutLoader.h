// LayoutLoader builds a view tree from a small JSON interface file, found by
// name (NAME.json) in the interface folder: $NB_UI_LAYOUT_DIR when set, else
// the installed folder, else the source tree's. The file gives the root's
// size, colour and background action, and a list of views (label, textField,
// button, imageView, view) with frames and properties; an "outlet" names the
// controller field a view is connected to, an "action" the controller method
// a button calls (on a text field: the Return key's), "autoresizingMask" how
// a view follows its superview's size (View::AutoresizingMask bits).
// Main thread only.
//
//   {"size": [320, 480], "backgroundColor": [1, 1, 1, 1], "action": "backgroundTap:",
//    "views": [{"type": "textField", "frame": [20, 80, 280, 40], "outlet": "_userName",
//               "placeholder": "邮箱"},
//              {"type": "button", "frame": [20, 140, 280, 44], "title": "登录",
//               "action": "doAuth:"}]}
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "nb/Status.h"
#include "nb/ui/toolkit/Button.h"

namespace nb::ui {

class LayoutLoader {
 public:
  // What the file may connect to: outlets receive their view, actions are
  // called by buttons (and by a tap on the root's background).
  struct Bindings {
    std::map<std::string, std::function<void(const std::shared_ptr<View>&)>> outlets;
    std::map<std::string, std::function<void()>> actions;
  };

  // The folder searched for interface files.
  static std::string layoutDirectory();
  // Loads NAME.json. A missing or malformed file, an unknown view type, or an
  // outlet or action the controller does not offer is an error naming the
  // file; nothing is connected then.
  static Result<std::shared_ptr<Button>> load(const std::string& name, const Bindings& bindings);
  // The same from JSON text; `name` is used in error messages.
  static Result<std::shared_ptr<Button>> loadFromString(const std::string& name,
                                                        const std::string& json,
                                                        const Bindings& bindings);
};

}  // namespace nb::ui
