#include "nb/ui/toolkit/Window.h"

#include "nb/ui/toolkit/ViewController.h"

namespace nb::ui {

Window::Window(const Rect& frame) : View(frame) { setBackgroundColor(Color::white()); }

Window::~Window() = default;

void Window::setRootViewController(std::shared_ptr<ViewController> controller) {
  if (root_ && root_->isViewLoaded()) root_->view()->removeFromSuperview();
  root_ = std::move(controller);
  if (!root_) return;
  const std::shared_ptr<View>& v = root_->view();
  v->setFrame(bounds());
  v->setAutoresizingMask(kFlexibleWidth | kFlexibleHeight);
  root_->viewWillAppear(false);
  addSubview(v);
}

bool Window::sendTap(Point p) {
  View* hit = hitTest(p);
  if (hit == nullptr) return false;
  if (firstResponder_ != nullptr && hit != firstResponder_) firstResponder_ = nullptr;
  // Convert the point into the hit view's coordinates.
  std::vector<View*> chain;
  for (View* v = hit; v != this && v != nullptr; v = v->superview()) chain.push_back(v);
  Point local = p;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    local = (*it)->convertFromSuperview(local);
  auto keep = hit->shared_from_this();
  return hit->handleTap(local);
}

}  // namespace nb::ui
