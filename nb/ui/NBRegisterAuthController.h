// NBRegisterAuthController is the ready-made screen for a new account: it
// shows a verification image from the service, registers the account with
// the fields and the code read from the image, then signs the new user in
// with the login flow it inherits and leaves both screens. Interface files
// "NBRegisterAuthController_iphone" / "_ipad". At most one registration, one
// verification fetch and one login are alive at a time; all are cancelled
// when the screen is destroyed. The verification image loads without
// blocking the screen. Made with std::make_shared; main thread only.
#pragma once

#include <memory>

#include "nb/Private/NBVerification.h"
#include "nb/ui/NBAuthController.h"
#include "nb/ui/toolkit/ImageView.h"

namespace nb {

class NBRegisterOperation;
class NBGetVerificationOperation;
class URLConnection;

class NBRegisterAuthController : public NBAuthController {
 public:
  explicit NBRegisterAuthController(std::shared_ptr<NBConsumer> consumer);
  ~NBRegisterAuthController() override;

  void viewDidLoad() override;
  void viewDidUnload() override;
  void clearOperations() override;

  // Fetches a new verification record (cancelling a fetch in flight).
  void getVerification();
  void doChange();
  void doRegister() override;
  void backgroundTap() override;

  void operationSuccess(NBOperation* operation, const NBResult& result) override;
  void operationFail(NBOperation* operation, const std::string& message) override;

  const std::shared_ptr<ui::TextField>& verificationCodeField() const { return _verificationCode; }
  const std::shared_ptr<ui::ImageView>& verificationImageView() const { return _verificationImage; }
  const std::shared_ptr<NBVerification>& verification() const { return _verifiItem; }
  bool isRegistering() const { return _registerOperation != nullptr; }
  bool isFetchingVerification() const { return _verifiOperation != nullptr; }
  // True while the verification image is being downloaded.
  bool isLoadingImage() const { return imageLoad_ != nullptr; }

 protected:
  ui::LayoutLoader::Bindings bindings() override;

 private:
  class ImageLoad;
  void loadImage(const std::string& url);
  void cancelImageLoad();
  void imageLoaded(const std::string& bytes, bool ok);
  void leaveBothScreens();

  std::shared_ptr<ui::TextField> _verificationCode;
  std::shared_ptr<ui::ImageView> _verificationImage;
  std::shared_ptr<NBVerification> _verifiItem;
  std::shared_ptr<NBRegisterOperation> _registerOperation;
  std::shared_ptr<NBGetVerificationOperation> _verifiOperation;
  std::shared_ptr<ImageLoad> imageLoadDelegate_;
  std::shared_ptr<URLConnection> imageLoad_;
};

}  // namespace nb
