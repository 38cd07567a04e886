// Taps and keys through a window, as the real-window backend delivers them:
// the tap reaches the deepest view under it through transforms, focuses text
// fields, presses buttons, and typed UTF-8 text edits the focused field; Tab
// and Shift+Tab walk the fields, Return submits the screen, and a window of
// a new size lays the screens out again with taps found at the new places.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "nb/ui/NBAuthController.h"
#include "nb/ui/NBRegisterAuthController.h"
#include "nb/ui/toolkit/Button.h"
#include "nb/ui/toolkit/Device.h"
#include "nb/ui/toolkit/NavigationController.h"
#include "nb/ui/toolkit/TextField.h"
#include "nb/ui/toolkit/Window.h"

namespace nb::ui {
namespace {

TEST(ToolkitInput, TapsFocusFieldsPressButtonsAndTypingEditsText) {
  auto window = std::make_shared<Window>(Rect(0, 0, 320, 480));
  auto panel = std::make_shared<View>(Rect(20, 100, 280, 200));
  window->addSubview(panel);
  auto field = std::make_shared<TextField>(Rect(10, 10, 200, 40));
  auto button = std::make_shared<Button>(Rect(10, 100, 200, 40));
  int presses = 0;
  button->setAction([&] { ++presses; });
  panel->addSubview(field);
  panel->addSubview(button);

  EXPECT_TRUE(window->sendTap({40, 130}));  // inside the field: (20+10 .. 230, 110 .. 150)
  EXPECT_TRUE(field->isFirstResponder());
  field->insertText("密码");
  field->insertText("é1");
  field->deleteBackward();
  EXPECT_EQ(field->text(), "密码é");
  field->deleteBackward();
  field->deleteBackward();
  EXPECT_EQ(field->text(), "密");

  EXPECT_TRUE(window->sendTap({40, 220}));
  EXPECT_EQ(presses, 1);
  EXPECT_FALSE(field->isFirstResponder());  // a tap elsewhere takes the focus away

  // A turned panel: the tap is converted through its transform.
  panel->setTransform(AffineTransform::rotation(M_PI));
  EXPECT_TRUE(window->sendTap({270, 270}));  // local (30, 30) turned about the centre (160, 200)
  EXPECT_TRUE(field->isFirstResponder());
  field->resignFirstResponder();
  EXPECT_EQ(window->firstResponder(), nullptr);
}

TEST(ToolkitInput, TheLoginScreenInANavigationStackTakesTaps) {
  setenv("NB_UI_LAYOUT_DIR", NB_SOURCE_DIR "/nb/ui/layouts", 1);
  Device::setUserInterfaceIdiom(kUserInterfaceIdiomPhone);
  auto window = std::make_shared<Window>(Rect(0, 0, 320, 480));
  auto nav = std::make_shared<NavigationController>(std::make_shared<ViewController>());
  window->setRootViewController(nav);
  auto login = std::make_shared<NBAuthController>(std::make_shared<NBConsumer>("k", "s"));
  nav->pushViewController(login, false);
  ASSERT_TRUE(login->layoutStatus().ok());
  window->sendTap({160, 116});
  EXPECT_TRUE(login->userNameField()->isFirstResponder());
  window->sendTap({160, 192});
  EXPECT_TRUE(login->passwordField()->isFirstResponder());
  window->sendTap({160, 400});  // the background
  EXPECT_EQ(window->firstResponder(), nullptr);
  window->sendTap({160, 252});  // the login button with empty fields: the check's message
  EXPECT_EQ(login->activity->labelText(), "请填写正确的用户名！");
}

class SignInWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("NB_UI_LAYOUT_DIR", NB_SOURCE_DIR "/nb/ui/layouts", 1);
    Device::setUserInterfaceIdiom(kUserInterfaceIdiomPhone);
    window->setRootViewController(nav);
  }
  template <typename Screen>
  std::shared_ptr<Screen> push() {
    auto screen = std::make_shared<Screen>(std::make_shared<NBConsumer>("k", "s"));
    nav->pushViewController(screen, false);
    EXPECT_TRUE(screen->layoutStatus().ok());
    return screen;
  }
  std::shared_ptr<Window> window = std::make_shared<Window>(Rect(0, 0, 320, 480));
  std::shared_ptr<NavigationController> nav =
      std::make_shared<NavigationController>(std::make_shared<ViewController>());
};

TEST_F(SignInWindow, FocusStartsAtTheFirstEmptyFieldAndTabWalksBothWays) {
  auto screen = push<NBRegisterAuthController>();
  TextField* user = screen->userNameField().get();
  TextField* password = screen->passwordField().get();
  user->setText("alice@example.com");
  ASSERT_TRUE(window->focusFirstEmptyField());
  EXPECT_EQ(window->firstResponder(), password);

  struct Step {
    bool backward;
    TextField* focused;  // null: the code field, the third one
  };
  const Step walk[] = {
      {false, nullptr}, {false, user}, {true, nullptr}, {true, password}, {true, user}};
  for (const Step& step : walk) {
    ASSERT_TRUE(window->focusNextField(step.backward));
    auto* focused = dynamic_cast<TextField*>(window->firstResponder());
    ASSERT_NE(focused, nullptr);
    if (step.focused != nullptr) {
      EXPECT_EQ(focused, step.focused);
    } else {
      EXPECT_NE(focused, user);
      EXPECT_NE(focused, password);
    }
  }
}

TEST_F(SignInWindow, ReturnInAFieldSubmitsTheScreen) {
  auto login = push<NBAuthController>();
  login->userNameField()->setText("no-at-sign");
  ASSERT_TRUE(login->passwordField()->pressReturn());
  EXPECT_EQ(login->activity->labelText(), "请填写正确的用户名！");  // the login's own check ran
  nav->popViewControllerAnimated(false);
  auto registration = push<NBRegisterAuthController>();
  registration->userNameField()->setText("a@b");
  ASSERT_TRUE(registration->userNameField()->pressReturn());
  EXPECT_EQ(registration->activity->labelText(), "请填写密码！");
}

TEST_F(SignInWindow, AResizedWindowLaysTheScreenOutAgainAndFindsTapsThere) {
  auto login = push<NBAuthController>();
  window->setFrame(Rect(0, 0, 640, 700));
  window->layoutIfNeeded();
  const Rect field = login->passwordField()->frame();
  EXPECT_EQ(field.minX(), 20);
  EXPECT_EQ(field.size.width, 600);  // the margins stay, the field grows
  EXPECT_EQ(field.minY(), 172);      // the top stays put
  window->sendTap({600, 192});       // beyond the field's old right end
  EXPECT_TRUE(login->passwordField()->isFirstResponder());
  EXPECT_EQ(login->activity->frame().size.width, 640);  // the overlay follows too
}

}  // namespace
}  // namespace nb::ui
