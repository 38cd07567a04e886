// NavigationController shows a stack of controllers, the top one's view below
// a 44-point navigation bar (title and a back button) that can be hidden.
// It owns the controllers on its stack. Main thread only.
#pragma once

#include <memory>
#include <vector>

#include "nb/ui/toolkit/Button.h"
#include "nb/ui/toolkit/Label.h"
#include "nb/ui/toolkit/ViewController.h"

namespace nb::ui {

class NavigationController : public ViewController {
 public:
  explicit NavigationController(std::shared_ptr<ViewController> root);
  ~NavigationController() override;

  const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return stack_; }
  ViewController* topViewController() const {
    return stack_.empty() ? nullptr : stack_.back().get();
  }

  void pushViewController(std::shared_ptr<ViewController> controller, bool animated);
  // Pops the top controller unless it is the root; returns it.
  std::shared_ptr<ViewController> popViewControllerAnimated(bool animated);
  void popToRootViewControllerAnimated(bool animated);
  // Pops down to `controller`; nothing when it is not on the stack.
  void popToViewController(ViewController* controller, bool animated);

  bool isNavigationBarHidden() const { return barHidden_; }
  void setNavigationBarHidden(bool hidden, bool animated = false);
  const std::shared_ptr<View>& navigationBar() const { return bar_; }

  void loadView() override;

 private:
  // Pops to the controller at `index` (kept), telling the old and new tops.
  void popTo(std::size_t index, bool animated);
  // Puts the top controller's view into the content area.
  void showTop();
  Rect contentRect();

  std::vector<std::shared_ptr<ViewController>> stack_;
  bool barHidden_ = false;
  std::shared_ptr<View> bar_;
  std::shared_ptr<Button> back_;
};

}  // namespace nb::ui
