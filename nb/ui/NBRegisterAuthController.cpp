#include "nb/ui/NBRegisterAuthController.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBOperationItem.h"
#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/device/NBSharedUDID.h"
#include "nb/operations/NBGetVerificationOperation.h"
#include "nb/operations/NBRegisterOperation.h"
#include "nb/operations/NBXAuthOperation.h"
#include "nb/platform/URLConnection.h"
#include "nb/ui/toolkit/Device.h"
#include "nb/ui/toolkit/NavigationController.h"
#include "nb/ui/toolkit/Window.h"

namespace nb {

// Collects the verification image's bytes and hands them to the screen.
class NBRegisterAuthController::ImageLoad : public URLConnectionDelegate {
 public:
  explicit ImageLoad(NBRegisterAuthController* owner) : owner_(owner) {}
  void connectionDidReceiveResponse(URLConnection*, const URLResponse& response) override {
    status_ = response.statusCode();
    body_.clear();
  }
  void connectionDidReceiveData(URLConnection*, std::string_view chunk) override { body_ += chunk; }
  void connectionDidFailWithError(URLConnection*, const NBError&) override {
    owner_->imageLoaded("", false);
  }
  void connectionDidFinishLoading(URLConnection*) override {
    owner_->imageLoaded(body_, status_ >= 200 && status_ < 300);
  }

 private:
  NBRegisterAuthController* owner_;  // cancels the connection before it goes
  int status_ = 0;
  std::string body_;
};

NBRegisterAuthController::NBRegisterAuthController(std::shared_ptr<NBConsumer> consumer)
    : NBAuthController(
          std::move(consumer),
          std::string("NBRegisterAuthController") +
              (ui::Device::userInterfaceIdiom() == ui::kUserInterfaceIdiomPhone ? "_iphone"
                                                                                : "_ipad")) {}

NBRegisterAuthController::~NBRegisterAuthController() {
  NBRegisterAuthController::clearOperations();
  _verificationCode = nullptr;
  _verificationImage = nullptr;
  _verifiItem = nullptr;
}

ui::LayoutLoader::Bindings NBRegisterAuthController::bindings() {
  ui::LayoutLoader::Bindings b = NBAuthController::bindings();
  b.outlets["_verificationCode"] = [this](const std::shared_ptr<ui::View>& v) {
    _verificationCode = std::dynamic_pointer_cast<ui::TextField>(v);
  };
  b.outlets["_verificationImage"] = [this](const std::shared_ptr<ui::View>& v) {
    _verificationImage = std::dynamic_pointer_cast<ui::ImageView>(v);
  };
  std::weak_ptr<ui::ViewController> weak = weak_from_this();
  b.actions["doChange:"] = [weak] {
    if (auto self = weak.lock()) static_cast<NBRegisterAuthController&>(*self).doChange();
  };
  return b;
}

void NBRegisterAuthController::viewDidLoad() {
  NBAuthController::viewDidLoad();
  getVerification();
}

void NBRegisterAuthController::viewDidUnload() {
  NBAuthController::viewDidUnload();
  _verificationCode = nullptr;
  _verificationImage = nullptr;
}

void NBRegisterAuthController::clearOperations() {
  if (_XOAuthOperation) _XOAuthOperation->cancelOperation();
  _XOAuthOperation = nullptr;
  if (_verifiOperation) _verifiOperation->cancelOperation();
  _verifiOperation = nullptr;
  if (_registerOperation) _registerOperation->cancelOperation();
  _registerOperation = nullptr;
  cancelImageLoad();
  _consumer = nullptr;
}

void NBRegisterAuthController::getVerification() {
  if (_verifiOperation) _verifiOperation->cancelOperation();  // one fetch at a time
  auto item = std::make_shared<NBOperationItem>();
  item->consumer = _consumer;
  _verifiOperation = std::make_shared<NBGetVerificationOperation>(this, item);
  auto operation = _verifiOperation;
  operation->executeOperation();
}

void NBRegisterAuthController::doChange() { getVerification(); }

void NBRegisterAuthController::doRegister() {
  if (_registerOperation) return;
  if (!validateCheck()) return;
  tipMessage("注册中...");
  auto item = std::make_shared<NBRegisterOperationItem>();
  item->userName = _userName->text();
  item->password = _password->text();
  item->consumer = _consumer;
  item->httpMethod = "POST";
  if (_verifiItem) {
    _verifiItem->verifiCode = _verificationCode ? _verificationCode->text() : "";
  }
  item->verifi = _verifiItem;
  item->deviceID = NBSharedUDID::value();
  _registerOperation = std::make_shared<NBRegisterOperation>(this, item);
  _verifiItem = nullptr;  // spent: a record serves one attempt
  auto operation = _registerOperation;
  operation->executeOperation();
}

void NBRegisterAuthController::backgroundTap() {
  NBAuthController::backgroundTap();
  if (_verificationCode) _verificationCode->resignFirstResponder();
}

void NBRegisterAuthController::operationSuccess(NBOperation* operation, const NBResult& result) {
  if (operation == nullptr) return;
  auto keep = shared_from_this();
  if (operation == _verifiOperation.get()) {
    _verifiOperation = nullptr;
    _verifiItem = result.recordAs<NBVerification>();
    if (_verifiItem && _verifiItem->urlString) {
      loadImage(*_verifiItem->urlString);
    } else if (_verificationImage) {
      _verificationImage->setImage({});
    }
  } else if (operation == _registerOperation.get()) {
    _registerOperation = nullptr;
    doAuth();
  } else if (operation == _XOAuthOperation.get()) {
    _XOAuthOperation = nullptr;
    if (!storeSignIn(result)) return;
    for (auto* field : {_userName.get(), _password.get(), _verificationCode.get()}) {
      if (field != nullptr) field->setText("");
    }
    leaveBothScreens();
  }
}

void NBRegisterAuthController::leaveBothScreens() {
  if (auto* nav = navigationController()) {
    // The stack is [..., presenter, login screen, this screen]; with fewer
    // than three controllers there is no presenter: back to the root.
    const auto& stack = nav->viewControllers();
    if (stack.size() >= 3) {
      nav->popToViewController(stack[stack.size() - 3].get(), true);
    } else {
      nav->popToRootViewControllerAnimated(true);
    }
    nav->setNavigationBarHidden(false);
    return;
  }
  // Presented modally from the login screen, itself presented modally.
  ui::ViewController* root = nullptr;
  if (ui::Window* window = isViewLoaded() ? view()->window() : nullptr) {
    root = window->rootViewController().get();
  }
  if (root == nullptr) {
    root = this;
    while (root->presentingViewController() != nullptr) root = root->presentingViewController();
  }
  auto keepRoot = root->shared_from_this();
  root->dismissModalViewControllerAnimated(true);
  root->dismissModalViewControllerAnimated(false);
}

void NBRegisterAuthController::operationFail(NBOperation* operation, const std::string& message) {
  auto keep = shared_from_this();
  const std::string text = failureText(operation, message);
  const bool registration = operation != nullptr && operation == _registerOperation.get();
  if (registration) {
    _registerOperation = nullptr;
    getVerification();  // the record just used is spent
  }
  if (_verificationCode) _verificationCode->setText("");
  hideActivity(text);
  if (operation == _XOAuthOperation.get()) _XOAuthOperation = nullptr;
  if (operation == _verifiOperation.get()) _verifiOperation = nullptr;
}

void NBRegisterAuthController::loadImage(const std::string& url) {
  cancelImageLoad();
  imageLoadDelegate_ = std::make_shared<ImageLoad>(this);
  imageLoad_ =
      URLConnection::connectionWithRequest(URLRequest::requestWithURL(url), imageLoadDelegate_);
}

void NBRegisterAuthController::cancelImageLoad() {
  if (imageLoad_) imageLoad_->cancel();
  imageLoad_ = nullptr;
  imageLoadDelegate_ = nullptr;
}

void NBRegisterAuthController::imageLoaded(const std::string& bytes, bool ok) {
  imageLoad_ = nullptr;  // the connection keeps its delegate until the callback returns
  Result<ui::Image> image = ok ? ui::Image::fromData(bytes) : Result<ui::Image>(ui::Image());
  if (_verificationImage) _verificationImage->setImage(image.ok() ? *image : ui::Image());
}

}  // namespace nb
