#include "cli/WindowSignIn.h"

#include "nb/Private/JsonFramework/JsonValue.h"

#ifdef NB_CLI_WINDOW
#include "nb/ui/NBAuthController.h"
#include "nb/ui/NBRegisterAuthController.h"
#include "nb/ui/toolkit/Device.h"
#include "nb/ui/toolkit/NavigationController.h"
#include "nb/ui/toolkit/WindowHost.h"
#endif

namespace nb::cli {

#ifdef NB_CLI_WINDOW

Status runWindowSignIn(CommandContext& context, bool registration, const std::string& user) {
  auto consumer = context.consumer();
  if (!consumer.ok()) return consumer.status();
  ui::Device::setUserInterfaceIdiom(ui::kUserInterfaceIdiomPhone);
  auto window = std::make_shared<ui::Window>(ui::Rect(0, 0, 320, 480));
  auto host = ui::WindowHost::open(window, registration ? "nb register" : "nb login");
  if (!host.ok()) return Status::unavailable(host.status().message());

  // The screens leave by popping to the root: [root, screen] back to [root]
  // means the user is signed in.
  auto nav = std::make_shared<ui::NavigationController>(std::make_shared<ui::ViewController>());
  window->setRootViewController(nav);
  std::shared_ptr<NBAuthController> screen =
      registration ? std::make_shared<NBRegisterAuthController>(*consumer)
                   : std::make_shared<NBAuthController>(*consumer);
  nav->pushViewController(screen, false);
  if (!screen->layoutStatus().ok()) return screen->layoutStatus();
  if (!user.empty()) screen->userNameField()->setText(user);
  const bool signedIn = (*host)->runUntil([&] { return nav->viewControllers().size() == 1; });
  screen->clearOperations();
  if (!signedIn) return Status::cancelled("the window was closed before signing in");
  JsonValue value = JsonValue::object();
  value.set("signed_in", JsonValue(true));
  context.printer().result(value, "Signed in");
  return Status::OK();
}

#else

Status runWindowSignIn(CommandContext&, bool, const std::string&) {
  return Status::unavailable("this build of nb has no window support");
}

#endif

}  // namespace nb::cli
