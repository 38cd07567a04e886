#include "nb/ui/toolkit/Window.h"

#include "nb/ui/toolkit/TextField.h"
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

namespace {
void collectFields(View& view, std::vector<TextField*>& out) {
  if (view.isHidden() || view.alpha() <= 0) return;
  if (auto* field = dynamic_cast<TextField*>(&view)) out.push_back(field);
  for (auto& sub : view.subviews()) collectFields(*sub, out);
}
}  // namespace

std::vector<TextField*> Window::visibleFields() {
  std::vector<TextField*> fields;
  collectFields(*this, fields);
  return fields;
}

bool Window::focusNextField(bool backward) {
  const std::vector<TextField*> fields = visibleFields();
  if (fields.empty()) return false;
  const auto n = fields.size();
  std::size_t next = backward ? n - 1 : 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (fields[i] == firstResponder_) next = backward ? (i + n - 1) % n : (i + 1) % n;
  }
  return fields[next]->becomeFirstResponder();
}

bool Window::focusFirstEmptyField() {
  for (TextField* field : visibleFields()) {
    if (field->text().empty()) return field->becomeFirstResponder();
  }
  return false;
}

bool Window::sendTap(Point p) {
  View* hit = hitTest(p);
  if (hit == nullptr) return false;
  if (firstResponder_ != nullptr && hit != firstResponder_) {
    if (auto* field = dynamic_cast<TextField*>(firstResponder_)) field->resignFirstResponder();
  }
  auto keep = hit->shared_from_this();
  return hit->handleTap(hit->convertFromRoot(p));
}

}  // namespace nb::ui
