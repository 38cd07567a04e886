#include "nb/ui/toolkit/NavigationController.h"

namespace nb::ui {

namespace {
constexpr double kBarHeight = 44;
}

NavigationController::NavigationController(std::shared_ptr<ViewController> root) {
  if (root) {
    root->navigationController_ = this;
    stack_.push_back(std::move(root));
  }
}

NavigationController::~NavigationController() {
  for (auto& c : stack_) c->navigationController_ = nullptr;
}

void NavigationController::loadView() {
  auto container = std::make_shared<View>(Rect(0, 0, 320, 480));
  container->setBackgroundColor(Color::white());
  bar_ = std::make_shared<View>(Rect(0, 0, 320, kBarHeight));
  bar_->setBackgroundColor({0.16, 0.45, 0.85, 1});
  bar_->setAutoresizingMask(View::kFlexibleWidth);
  back_ = std::make_shared<Button>(Rect(6, 7, 60, 30));
  back_->setTitle("返回");
  back_->setBackgroundColor({0.1, 0.33, 0.68, 1});
  back_->setAction([this] { popViewControllerAnimated(true); });
  bar_->addSubview(back_);
  container->addSubview(bar_);
  setView(container);
  showTop();
}

Rect NavigationController::contentRect() {
  const Rect b = view()->bounds();
  if (barHidden_) return b;
  return {0, kBarHeight, b.size.width, b.size.height - kBarHeight};
}

void NavigationController::showTop() {
  if (!isViewLoaded()) return;
  for (auto& c : stack_) {
    if (c->isViewLoaded() && c->view()->superview() == view().get())
      c->view()->removeFromSuperview();
  }
  bar_->setHidden(barHidden_);
  back_->setHidden(stack_.size() < 2);
  if (stack_.empty()) return;
  const std::shared_ptr<View>& top = stack_.back()->view();
  top->setFrame(contentRect());
  top->setAutoresizingMask(View::kFlexibleWidth | View::kFlexibleHeight);
  view()->addSubview(top);
  view()->addSubview(bar_);  // above the content
}

void NavigationController::pushViewController(std::shared_ptr<ViewController> controller,
                                              bool animated) {
  if (!controller) return;
  auto keep = shared_from_this();
  if (!stack_.empty()) stack_.back()->viewWillDisappear(animated);
  controller->navigationController_ = this;
  stack_.push_back(controller);
  controller->view();
  controller->viewWillAppear(animated);
  showTop();
}

void NavigationController::popTo(std::size_t index, bool animated) {
  if (index + 1 >= stack_.size()) return;
  auto keep = shared_from_this();
  std::shared_ptr<ViewController> oldTop = stack_.back();  // alive until the end of the call
  oldTop->viewWillDisappear(animated);
  std::vector<std::shared_ptr<ViewController>> popped(stack_.begin() + index + 1, stack_.end());
  stack_.resize(index + 1);
  for (auto& c : popped) {
    c->navigationController_ = nullptr;
    if (c->isViewLoaded()) c->view()->removeFromSuperview();
  }
  stack_.back()->viewWillAppear(animated);
  showTop();
}

std::shared_ptr<ViewController> NavigationController::popViewControllerAnimated(bool animated) {
  if (stack_.size() < 2) return nullptr;
  std::shared_ptr<ViewController> top = stack_.back();
  popTo(stack_.size() - 2, animated);
  return top;
}

void NavigationController::popToRootViewControllerAnimated(bool animated) { popTo(0, animated); }

void NavigationController::popToViewController(ViewController* controller, bool animated) {
  for (std::size_t i = 0; i < stack_.size(); ++i) {
    if (stack_[i].get() == controller) {
      popTo(i, animated);
      return;
    }
  }
}

void NavigationController::setNavigationBarHidden(bool hidden, bool animated) {
  (void)animated;
  if (barHidden_ == hidden) return;
  barHidden_ = hidden;
  showTop();
}

}  // namespace nb::ui
