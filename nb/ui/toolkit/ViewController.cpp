#include "nb/ui/toolkit/ViewController.h"

#include "nb/ui/toolkit/Device.h"

namespace nb::ui {

ViewController::~ViewController() {
  if (presented_) presented_->presenting_ = nullptr;
}

const std::shared_ptr<View>& ViewController::view() {
  if (!view_) {
    loadView();
    if (!view_) view_ = std::make_shared<View>(Rect(0, 0, 320, 480));
    viewDidLoad();
  }
  return view_;
}

void ViewController::loadView() {
  view_ = std::make_shared<View>(Rect(0, 0, 320, 480));
  view_->setBackgroundColor(Color::white());
}

bool ViewController::shouldAutorotateToInterfaceOrientation(int orientation) {
  return orientation == kOrientationPortrait;
}

void ViewController::presentModalViewController(std::shared_ptr<ViewController> controller,
                                                bool animated) {
  if (!controller) return;
  if (presented_) {
    presented_->presentModalViewController(std::move(controller), animated);
    return;
  }
  View* host = view().get();
  while (host->superview() != nullptr) host = host->superview();
  presented_ = controller;
  controller->presenting_ = this;
  const std::shared_ptr<View>& shown = controller->view();
  shown->setFrame(host->bounds());
  shown->setAutoresizingMask(View::kFlexibleWidth | View::kFlexibleHeight);
  controller->viewWillAppear(animated);
  host->addSubview(shown);
}

void ViewController::dismissModalViewControllerAnimated(bool animated) {
  auto keep = shared_from_this();
  if (presented_) {
    std::shared_ptr<ViewController> child = presented_;
    if (child->presented_) child->dismissModalViewControllerAnimated(animated);
    child->viewWillDisappear(animated);
    if (child->isViewLoaded()) child->view()->removeFromSuperview();
    child->presenting_ = nullptr;
    presented_ = nullptr;
    return;
  }
  if (presenting_ != nullptr) presenting_->dismissModalViewControllerAnimated(animated);
}

}  // namespace nb::ui
