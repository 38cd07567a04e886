// Renders the login and registration screens on the phone and tablet idioms,
// with typed fields and the overlay showing "授权中...", into PNG files (the
// README's pictures):   signin_gallery docs/images
#include <iostream>
#include <string>

#include "nb/ui/NBAuthController.h"
#include "nb/ui/NBRegisterAuthController.h"
#include "nb/ui/toolkit/Device.h"
#include "nb/ui/toolkit/Label.h"
#include "nb/ui/toolkit/Renderer.h"
#include "nb/ui/toolkit/Window.h"

namespace {

// A stand-in for the service's verification image: the code on a grey card.
nb::ui::Image codeImage() {
  auto card = std::make_shared<nb::ui::Label>(nb::ui::Rect(0, 0, 120, 44));
  card->setBackgroundColor({0.85, 0.87, 0.9, 1});
  card->setText("7Q4KM");
  card->setFont(nb::ui::Font::boldSystemFontOfSize(24));
  card->setTextColor({0.25, 0.3, 0.45, 1});
  card->setTextAlignment(nb::ui::TextAlignment::kCenter);
  return nb::ui::Renderer::render(*card);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: signin_gallery OUTPUT_FOLDER\n";
    return 2;
  }
  const std::string out = argv[1];
  auto consumer = std::make_shared<nb::NBConsumer>("app-key", "app-secret");
  struct Shot {
    const char* file;
    int idiom;
    bool registration;
  };
  for (const Shot& shot :
       {Shot{"signin-login-phone.png", nb::ui::kUserInterfaceIdiomPhone, false},
        Shot{"signin-login-tablet.png", nb::ui::kUserInterfaceIdiomPad, false},
        Shot{"signin-register-phone.png", nb::ui::kUserInterfaceIdiomPhone, true},
        Shot{"signin-register-tablet.png", nb::ui::kUserInterfaceIdiomPad, true}}) {
    nb::ui::Device::setUserInterfaceIdiom(shot.idiom);
    const bool phone = shot.idiom == nb::ui::kUserInterfaceIdiomPhone;
    auto window = std::make_shared<nb::ui::Window>(phone ? nb::ui::Rect(0, 0, 320, 480)
                                                         : nb::ui::Rect(0, 0, 768, 1024));
    std::shared_ptr<nb::NBAuthController> screen;
    if (shot.registration) {
      auto registration = std::make_shared<nb::NBRegisterAuthController>(consumer);
      registration->view();
      registration->verificationImageView()->setImage(codeImage());
      registration->verificationCodeField()->setText("7Q4KM");
      screen = registration;
    } else {
      screen = std::make_shared<nb::NBAuthController>(consumer);
    }
    window->setRootViewController(screen);
    if (!screen->layoutStatus().ok()) {
      std::cerr << "signin_gallery: " << screen->layoutStatus().message() << "\n";
      return 1;
    }
    screen->userNameField()->setText("alice@example.com");
    screen->passwordField()->setText("secret");
    screen->tipMessage("授权中...");
    const nb::Status status =
        nb::ui::Renderer::renderToPng(*window, out + "/" + shot.file, phone ? 2.0 : 1.0);
    if (!status.ok()) {
      std::cerr << "signin_gallery: " << status.message() << "\n";
      return 1;
    }
    screen->clearOperations();
  }
  return 0;
}
