// nb-window: the library's sign-in screens in a real window, for `nb login
// --window` and `nb register --window`. A program of its own so that the nb
// command itself links no drawing or window library and starts quickly; nb
// runs it, beside its own binary, only when a window is asked for.
//
//   nb-window login|register [USER]
//
// The consumer comes from NB_CONSUMER_KEY and NB_CONSUMER_SECRET (nb sets them
// to the consumer it was given). The screens store the sign-in like `nb login`
// does. Exit 0 once signed in, which is judged from the credential store (a
// new access token stored for the consumer), not from the screen having left:
// 返回 leaves it too. Otherwise exit 1 after one line on stdout,
// "CODE MESSAGE", CODE being the failure's StatusCode as a number.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBSignInStore.h"
#include "nb/Status.h"
#include "nb/platform/RunLoop.h"
#include "nb/ui/NBAuthController.h"
#include "nb/ui/NBRegisterAuthController.h"
#include "nb/ui/toolkit/Device.h"
#include "nb/ui/toolkit/NavigationController.h"
#include "nb/ui/toolkit/WindowHost.h"

namespace {

// The access token stored for `consumerKey`, as the library reads it.
std::optional<std::string> storedToken(const std::string& consumerKey) {
  if (!nb::NBSignInStore::isAlreadAuth(consumerKey)) return std::nullopt;
  nb::NBAPIInfo& info = nb::NBAPIInfo::instance();
  info.clearAuthInfo();  // read the store afresh
  info.initAuthInfo();
  const auto token = info.token();
  return token ? token->token : std::nullopt;
}

nb::Status signIn(bool registration, const std::string& user) {
  const char* key = std::getenv("NB_CONSUMER_KEY");
  const char* secret = std::getenv("NB_CONSUMER_SECRET");
  if (key == nullptr || *key == '\0' || secret == nullptr) {
    return nb::Status::unauthenticated("no consumer: set NB_CONSUMER_KEY and NB_CONSUMER_SECRET");
  }
  auto consumer = std::make_shared<nb::NBConsumer>(key, secret);
  nb::ui::Device::setUserInterfaceIdiom(nb::ui::kUserInterfaceIdiomPhone);
  auto window = std::make_shared<nb::ui::Window>(nb::ui::Rect(0, 0, 320, 480));
  auto host = nb::ui::WindowHost::open(window, registration ? "nb register" : "nb login");
  if (!host.ok()) return nb::Status::unavailable(host.status().message());

  const std::optional<std::string> tokenBefore = storedToken(*consumer->key);
  // The screen leaves its stack [root, screen] when signed in and on 返回.
  auto nav =
      std::make_shared<nb::ui::NavigationController>(std::make_shared<nb::ui::ViewController>());
  window->setRootViewController(nav);
  std::shared_ptr<nb::NBAuthController> screen =
      registration ? std::make_shared<nb::NBRegisterAuthController>(consumer)
                   : std::make_shared<nb::NBAuthController>(consumer);
  nav->pushViewController(screen, false);
  if (!screen->layoutStatus().ok()) return screen->layoutStatus();
  if (!user.empty()) screen->userNameField()->setText(user);
  window->focusFirstEmptyField();
  const bool left = (*host)->runUntil([&] { return nav->viewControllers().size() == 1; });
  screen->clearOperations();
  if (!left) return nb::Status::cancelled("the window was closed before signing in");
  const std::optional<std::string> tokenAfter = storedToken(*consumer->key);
  if (!tokenAfter || tokenAfter == tokenBefore) {
    return nb::Status::cancelled("the sign-in was cancelled with 返回 (back)");
  }
  return nb::Status::OK();
}

}  // namespace

int main(int argc, char** argv) {
  const bool known =
      argc >= 2 && (std::strcmp(argv[1], "login") == 0 || std::strcmp(argv[1], "register") == 0);
  if (!known || argc > 3) {
    std::cerr << "usage: nb-window login|register [USER]\n";
    return 2;
  }
  nb::RunLoop::main();  // this thread's loop becomes the main one
  const nb::Status status = signIn(std::strcmp(argv[1], "register") == 0, argc == 3 ? argv[2] : "");
  if (status.ok()) return 0;
  std::cout << static_cast<int>(status.code()) << ' ' << status.message() << std::endl;
  return 1;
}
