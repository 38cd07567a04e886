// Taps and typing through a window, as the real-window backend delivers them:
// the tap reaches the deepest view under it through transforms, focuses text
// fields, presses buttons, and typed UTF-8 text edits the focused field.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "nb/ui/NBAuthController.h"
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

}  // namespace
}  // namespace nb::ui
