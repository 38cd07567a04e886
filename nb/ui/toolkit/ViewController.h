// ViewController manages one screen's view: loads it on first use, hears when
// it appears and disappears, and presents other controllers modally (their
// views laid over the top of the presenter's view tree).
//
// Ownership: a presenter owns the controller it presents; a navigation
// controller owns its stack; a window owns its root controller. Controllers
// are made with std::make_shared. A controller that may be released by its
// own call (popping or dismissing itself) keeps a shared_from_this() for the
// rest of that call. Main thread only.
#pragma once

#include <memory>

#include "nb/ui/toolkit/View.h"

namespace nb::ui {

class NavigationController;

class ViewController : public std::enable_shared_from_this<ViewController> {
 public:
  ViewController() = default;
  virtual ~ViewController();
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  // The view, loaded (loadView, then viewDidLoad) on first use.
  const std::shared_ptr<View>& view();
  bool isViewLoaded() const { return view_ != nullptr; }

  virtual void loadView();  // a plain white 320 × 480 view
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool animated) { (void)animated; }
  virtual void viewWillDisappear(bool animated) { (void)animated; }
  virtual void viewDidUnload() {}
  virtual bool shouldAutorotateToInterfaceOrientation(int orientation);

  // The navigation controller whose stack holds this controller, or null.
  NavigationController* navigationController() const { return navigationController_; }

  // Lays `controller`'s view over the top of this controller's view tree.
  // When this controller already presents one, the new one is presented by
  // that one instead.
  void presentModalViewController(std::shared_ptr<ViewController> controller, bool animated);
  // Dismisses the controller this one presents (with everything it presents
  // in turn); on a presented controller without one of its own, asks its
  // presenter to dismiss it. Does nothing when neither applies.
  void dismissModalViewControllerAnimated(bool animated);
  ViewController* presentingViewController() const { return presenting_; }
  const std::shared_ptr<ViewController>& modalViewController() const { return presented_; }

 protected:
  void setView(std::shared_ptr<View> view) { view_ = std::move(view); }

 private:
  friend class NavigationController;
  std::shared_ptr<View> view_;
  NavigationController* navigationController_ = nullptr;
  ViewController* presenting_ = nullptr;
  std::shared_ptr<ViewController> presented_;
};

}  // namespace nb::ui
