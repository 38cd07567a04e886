// NBAuthController is the ready-made sign-in screen: user name and password
// fields from an interface file ("NBAuthController_iphone" on a phone,
// "NBAuthController_ipad" otherwise), the xAuth login, the credentials stored
// through NBSignInStore, and the screen left by navigation or modal dismissal.
// Progress and error messages show in an FxActivityIndicator overlay; every
// error message stays for one second.
//
// Ownership: made with std::make_shared; its presenter or navigation
// controller owns it. It is the delegate of the operations it holds and
// cancels them when destroyed, so no callback reaches it afterwards.
// Main thread only.
#pragma once

#include <memory>
#include <string>

#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBOperationDelegate.h"
#include "nb/Private/NBToken.h"
#include "nb/Status.h"
#include "nb/ui/FxActivityIndicator.h"
#include "nb/ui/toolkit/LayoutLoader.h"
#include "nb/ui/toolkit/TextField.h"
#include "nb/ui/toolkit/ViewController.h"

namespace nb {

class NBXAuthOperation;

class NBAuthController : public ui::ViewController, public NBOperationDelegate {
 public:
  // The screen for `consumer`; its interface file follows the device idiom now.
  explicit NBAuthController(std::shared_ptr<NBConsumer> consumer);
  ~NBAuthController() override;

  // Loads the interface file. A missing or malformed file leaves a view with
  // the error's text and layoutStatus() telling it; the actions then only
  // report that the fields are not filled.
  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void viewDidUnload() override;
  bool shouldAutorotateToInterfaceOrientation(int orientation) override;
  const Status& layoutStatus() const { return layoutStatus_; }
  const std::string& interfaceName() const { return nibName_; }

  // Credentials.
  bool isAlreadAuth();
  // Stores the token with this screen's consumer (NBSignInStore). A token
  // without its token string is refused and nothing is written.
  Status storeTokenAndConsumer(const NBToken& token);
  void clearAuthInfo();
  virtual void clearOperations();

  // Actions.
  // Ignored while a login is in flight (one login at a time).
  virtual void doAuth();
  virtual void doRegister();
  void goBack();
  virtual void backgroundTap();

  // Overlay.
  std::shared_ptr<FxActivityIndicator> showActivityIndicatorInView(ui::View* view);
  void tipMessage(const std::string& message);
  void hideActivity(const std::string& message);
  bool validateCheck();

  void operationSuccess(NBOperation* operation, const NBResult& result) override;
  void operationFail(NBOperation* operation, const std::string& message) override;

  std::shared_ptr<FxActivityIndicator> activity;

  // Outlets, for applications and tests that drive the screen.
  const std::shared_ptr<ui::TextField>& userNameField() const { return _userName; }
  const std::shared_ptr<ui::TextField>& passwordField() const { return _password; }
  bool isLoggingIn() const { return _XOAuthOperation != nullptr; }

  // Shown when the keychain refuses the new credentials; the screen stays.
  static constexpr const char* kStoreFailedMessage = "无法保存授权信息，请重试";
  // Shown for a failure of the connection itself, which carries the
  // transport's own text in English: the screens speak Chinese.
  static constexpr const char* kNetworkFailedMessage = "网络连接失败，请检查网络后重试";
  static constexpr const char* kTimedOutMessage = "网络超时，请稍后重试";

 protected:
  // For the registration screen: base initialisation with its own file.
  NBAuthController(std::shared_ptr<NBConsumer> consumer, std::string nibName);
  virtual ui::LayoutLoader::Bindings bindings();
  void internalRelease();
  // Stores the credentials of a finished login. False (with the message
  // shown) when they could not be stored.
  bool storeSignIn(const NBResult& result);
  // The text the overlay shows for `operation`'s failure: the service's and
  // the operations' own messages as delivered, the connection's in Chinese.
  static std::string failureText(NBOperation* operation, const std::string& message);

  std::shared_ptr<NBConsumer> _consumer;
  std::shared_ptr<NBXAuthOperation> _XOAuthOperation;
  std::shared_ptr<ui::TextField> _userName;
  std::shared_ptr<ui::TextField> _password;

 private:
  std::string nibName_;
  Status layoutStatus_;
};

}  // namespace nb
