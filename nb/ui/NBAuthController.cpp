#include "nb/ui/NBAuthController.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NBSignInStore.h"
#include "nb/operations/NBXAuthOperation.h"
#include "nb/ui/NBRegisterAuthController.h"
#include "nb/ui/toolkit/Device.h"
#include "nb/ui/toolkit/Label.h"
#include "nb/ui/toolkit/NavigationController.h"

namespace nb {

namespace {
std::string nibForIdiom(const char* base) {
  return std::string(base) +
         (ui::Device::userInterfaceIdiom() == ui::kUserInterfaceIdiomPhone ? "_iphone" : "_ipad");
}
}  // namespace

NBAuthController::NBAuthController(std::shared_ptr<NBConsumer> consumer)
    : NBAuthController(std::move(consumer), nibForIdiom("NBAuthController")) {}

NBAuthController::NBAuthController(std::shared_ptr<NBConsumer> consumer, std::string nibName)
    : _consumer(std::move(consumer)), nibName_(std::move(nibName)) {}

NBAuthController::~NBAuthController() {
  NBAuthController::clearOperations();
  internalRelease();
}

ui::LayoutLoader::Bindings NBAuthController::bindings() {
  ui::LayoutLoader::Bindings b;
  b.outlets["_userName"] = [this](const std::shared_ptr<ui::View>& v) {
    _userName = std::dynamic_pointer_cast<ui::TextField>(v);
  };
  b.outlets["_password"] = [this](const std::shared_ptr<ui::View>& v) {
    _password = std::dynamic_pointer_cast<ui::TextField>(v);
  };
  // Actions reach the controller through a weak reference: a button may
  // outlive the screen in an application's view tree.
  auto action = [this](void (NBAuthController::*method)()) {
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    return [weak, method] {
      if (auto self = weak.lock()) (static_cast<NBAuthController&>(*self).*method)();
    };
  };
  b.actions["doAuth:"] = action(&NBAuthController::doAuth);
  b.actions["doRegister:"] = action(&NBAuthController::doRegister);
  b.actions["goBack:"] = action(&NBAuthController::goBack);
  b.actions["backgroundTap:"] = action(&NBAuthController::backgroundTap);
  return b;
}

void NBAuthController::loadView() {
  Result<std::shared_ptr<ui::Button>> root = ui::LayoutLoader::load(nibName_, bindings());
  if (root.ok()) {
    layoutStatus_ = Status::OK();
    setView(*root);
    return;
  }
  layoutStatus_ = root.status();
  auto view = std::make_shared<ui::View>(ui::Rect(0, 0, 320, 480));
  view->setBackgroundColor(ui::Color::white());
  auto label = std::make_shared<ui::Label>(ui::Rect(10, 60, 300, 40));
  label->setFont(ui::Font::systemFontOfSize(12));
  label->setText(layoutStatus_.message());
  view->addSubview(label);
  setView(view);
}

void NBAuthController::viewDidLoad() {
  ui::ViewController::viewDidLoad();
  activity = showActivityIndicatorInView(view().get());
}

void NBAuthController::viewWillAppear(bool animated) {
  ui::ViewController::viewWillAppear(animated);
  if (auto* nav = navigationController()) nav->setNavigationBarHidden(true, true);
}

void NBAuthController::viewWillDisappear(bool animated) {
  ui::ViewController::viewWillDisappear(animated);
  if (auto* nav = navigationController()) nav->setNavigationBarHidden(false, true);
}

void NBAuthController::viewDidUnload() {
  ui::ViewController::viewDidUnload();
  internalRelease();
}

void NBAuthController::internalRelease() {
  _userName = nullptr;
  _password = nullptr;
  activity = nullptr;
}

bool NBAuthController::shouldAutorotateToInterfaceOrientation(int orientation) {
  if (ui::Device::userInterfaceIdiom() != ui::kUserInterfaceIdiomPhone) return true;
  return orientation == ui::kOrientationPortrait;
}

bool NBAuthController::isAlreadAuth() {
  return NBSignInStore::isAlreadAuth(_consumer ? _consumer->key : std::nullopt);
}

Status NBAuthController::storeTokenAndConsumer(const NBToken& token) {
  if (!_consumer) return Status::invalidArgument("the screen has no consumer");
  return NBSignInStore::storeTokenAndConsumer(token, *_consumer);
}

void NBAuthController::clearAuthInfo() { NBSignInStore::clearAuthInfo(); }

void NBAuthController::clearOperations() {
  if (_XOAuthOperation) _XOAuthOperation->cancelOperation();
  _XOAuthOperation = nullptr;
  _consumer = nullptr;
}

bool NBAuthController::validateCheck() {
  const std::string user = _userName ? _userName->text() : "";
  const std::string password = _password ? _password->text() : "";
  if (user.find('@') == std::string::npos) {
    hideActivity("请填写正确的用户名！");
    return false;
  }
  if (password.empty()) {
    hideActivity("请填写密码！");
    return false;
  }
  return true;
}

void NBAuthController::doAuth() {
  if (_XOAuthOperation) return;  // one login at a time
  if (!validateCheck()) return;
  if (!_consumer) return;
  tipMessage("授权中...");
  auto item = std::make_shared<NBAuthOperationItem>();
  item->userName = _userName->text();
  item->password = _password->text();
  item->consumer = _consumer;
  item->httpMethod = "POST";
  _XOAuthOperation = std::make_shared<NBXAuthOperation>(this, item);
  auto operation = _XOAuthOperation;  // the operation may report at once
  operation->executeOperation();
}

void NBAuthController::doRegister() {
  auto keep = shared_from_this();
  auto screen = std::make_shared<NBRegisterAuthController>(_consumer);
  if (auto* nav = navigationController()) {
    nav->pushViewController(screen, true);
  } else {
    presentModalViewController(screen, true);
  }
}

void NBAuthController::goBack() {
  auto keep = shared_from_this();
  if (auto* nav = navigationController()) {
    nav->popViewControllerAnimated(true);
  } else {
    dismissModalViewControllerAnimated(true);
  }
}

void NBAuthController::backgroundTap() {
  if (_userName) _userName->resignFirstResponder();
  if (_password) _password->resignFirstResponder();
}

std::shared_ptr<FxActivityIndicator> NBAuthController::showActivityIndicatorInView(ui::View* view) {
  auto hud = std::make_shared<FxActivityIndicator>(view);
  const ui::Rect b = view->bounds();
  // A 44-point strip at the top stays uncovered (the screen's bar and back button).
  hud->setFrame(ui::Rect(b.minX(), b.minY() + 44, b.size.width, b.size.height - 44));
  view->addSubview(hud);
  hud->setAnimationType(FxActivityIndicator::kAnimationFade);
  hud->setLabelText("");
  hud->setAutoresizingMask(63);
  return hud;
}

void NBAuthController::tipMessage(const std::string& message) {
  if (!activity) return;
  activity->setLabelText(message);
  activity->show(false);
}

void NBAuthController::hideActivity(const std::string& message) {
  if (!activity) return;
  activity->show(false);
  activity->setLabelText(message);
  activity->hide(false, 1.0);
}

bool NBAuthController::storeSignIn(const NBResult& result) {
  auto token = result.recordAs<NBToken>();
  const Status stored = token ? storeTokenAndConsumer(*token)
                              : Status::invalidArgument("the service sent no access token");
  if (!stored.ok()) {
    // Leaving now would look like a sign-in that did not happen.
    hideActivity(kStoreFailedMessage);
    return false;
  }
  NBAPIInfo::instance().clearAuthInfo();
  return true;
}

void NBAuthController::operationSuccess(NBOperation* operation, const NBResult& result) {
  if (operation == nullptr || operation != _XOAuthOperation.get()) return;
  auto keep = shared_from_this();
  _XOAuthOperation = nullptr;
  if (!storeSignIn(result)) return;
  if (_userName) _userName->setText("");
  if (_password) _password->setText("");
  if (auto* nav = navigationController()) {
    nav->popToRootViewControllerAnimated(true);
    nav->setNavigationBarHidden(false);
  } else {
    dismissModalViewControllerAnimated(true);
  }
}

std::string NBAuthController::failureText(NBOperation* operation, const std::string& message) {
  const StatusCode code =
      operation != nullptr ? operation->failureStatus().code() : StatusCode::kOk;
  if (code == StatusCode::kNetwork) return kNetworkFailedMessage;
  if (code == StatusCode::kTimeout) return kTimedOutMessage;
  return message;
}

void NBAuthController::operationFail(NBOperation* operation, const std::string& message) {
  auto keep = shared_from_this();
  const std::string text = failureText(operation, message);
  _XOAuthOperation = nullptr;  // may release `operation`
  hideActivity(text);
}

}  // namespace nb
