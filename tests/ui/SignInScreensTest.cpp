// The sign-in screens driven through the toolkit against a real nbserver:
// field checks, failures shown for a second, credentials stored and the
// screens left (navigation and modal), registration, and destruction while a
// login is in flight.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>

#include "nb/Private/KeychainUtils.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/NBSignInStore.h"
#include "nb/operations/NBXAuthOperation.h"
#include "nb/platform/RunLoop.h"
#include "nb/ui/NBAuthController.h"
#include "nb/ui/NBRegisterAuthController.h"
#include "nb/ui/toolkit/Device.h"
#include "nb/ui/toolkit/NavigationController.h"
#include "nb/ui/toolkit/Window.h"
#include "tests/support/NbServerProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace nb {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* const kLoginFailed = "登录失败，可能用户名密码不对或者无此账号";

std::optional<std::string> stored(const char* key) {
  return KeychainUtils::getValueForKey(key, NBHosts::webHost());
}

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
  return RunLoop::current().runUntil(done, limit);
}

class SignInScreens : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dataHome_ = new test::TemporaryFolder("nb-ui-e2e");
    setenv("NB_DATA_HOME", dataHome_->path().c_str(), 1);
    setenv("NB_KEYCHAIN", "file", 1);
    setenv("NB_UI_LAYOUT_DIR", NB_SOURCE_DIR "/nb/ui/layouts", 1);
    server_ = new test::NbServerProcess();
    ASSERT_TRUE(server_->ok()) << server_->error();
    server_->setEnvironment();
    ASSERT_TRUE(server_->addUser("alice@example.com", "right-pass"));
  }
  static void TearDownTestSuite() {
    delete server_;
    delete dataHome_;
  }
  void SetUp() override {
    ui::Device::setUserInterfaceIdiom(ui::kUserInterfaceIdiomPhone);
    NBSignInStore::clearAuthInfo();
  }

  static std::shared_ptr<NBConsumer> consumer() {
    return std::make_shared<NBConsumer>(server_->env("NB_CONSUMER_KEY"),
                                        server_->env("NB_CONSUMER_SECRET"));
  }
  // A login screen on a navigation stack [root, login] in a window.
  std::shared_ptr<NBAuthController> pushedLogin() {
    nav = std::make_shared<ui::NavigationController>(std::make_shared<ui::ViewController>());
    window->setRootViewController(nav);
    auto login = std::make_shared<NBAuthController>(consumer());
    nav->pushViewController(login, false);
    return login;
  }
  static void type(NBAuthController& screen, const std::string& user, const std::string& pass) {
    screen.userNameField()->setText(user);
    screen.passwordField()->setText(pass);
  }
  static std::string overlayText(NBAuthController& screen) {
    return screen.activity->labelText().value_or("<none>");
  }

  static inline test::TemporaryFolder* dataHome_ = nullptr;
  static inline test::NbServerProcess* server_ = nullptr;
  std::shared_ptr<ui::Window> window = std::make_shared<ui::Window>(ui::Rect(0, 0, 320, 480));
  std::shared_ptr<ui::NavigationController> nav;
};

TEST_F(SignInScreens, FieldChecksShowTheirMessageAndStartNothing) {
  auto login = pushedLogin();
  ASSERT_TRUE(login->layoutStatus().ok()) << login->layoutStatus().message();
  const struct {
    const char* user;
    const char* password;
    const char* message;  // nullptr: passes the check
  } cases[] = {
      {"alice", "", "请填写正确的用户名！"},  // the user name is checked first
      {"alice", "pw", "请填写正确的用户名！"},
      {"alice@example.com", "", "请填写密码！"},
      {"@", " ", nullptr},  // "@" alone and one blank pass
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + "/" + c.password);
    type(*login, c.user, c.password);
    EXPECT_EQ(login->validateCheck(), c.message == nullptr);
    if (c.message != nullptr) {
      login->doAuth();
      EXPECT_FALSE(login->isLoggingIn());
      EXPECT_EQ(overlayText(*login), c.message);
      EXPECT_EQ(login->activity->alpha(), 1.0);
    }
  }
}

TEST_F(SignInScreens, WrongPasswordShowsTheServiceMessageForOneSecondAndKeepsTheFields) {
  auto login = pushedLogin();
  type(*login, "alice@example.com", "wrong-pass");
  login->doAuth();
  EXPECT_TRUE(login->isLoggingIn());
  EXPECT_EQ(overlayText(*login), "授权中...");
  login->doAuth();  // a second press while one login runs is ignored
  ASSERT_TRUE(runUntil([&] { return !login->isLoggingIn(); }));
  const auto shown = Clock::now();
  EXPECT_EQ(overlayText(*login), kLoginFailed);
  EXPECT_EQ(login->activity->alpha(), 1.0);
  ASSERT_TRUE(runUntil([&] { return login->activity->alpha() == 0.0; }, 5s));
  EXPECT_GE(Clock::now() - shown, 950ms);
  EXPECT_EQ(login->userNameField()->text(), "alice@example.com");
  EXPECT_EQ(login->passwordField()->text(), "wrong-pass");
  EXPECT_EQ(nav->topViewController(), login.get());
  EXPECT_FALSE(stored("TokenKey"));
}

// An operation that fails with the status it is given, as a login whose
// connection failed reports.
class FailingOperation : public NBOperation {
 public:
  using NBOperation::NBOperation;
  void fail(Status status) { reportFail(std::move(status)); }
};

TEST_F(SignInScreens, ConnectionFailuresAreToldInTheScreensLanguage) {
  const struct {
    Status status;
    const char* shown;
  } cases[] = {
      {Status::network("Couldn't connect to server"), NBAuthController::kNetworkFailedMessage},
      {Status::timeout("Operation timed out after 30000 milliseconds"),
       NBAuthController::kTimedOutMessage},
      {Status::service(kLoginFailed), kLoginFailed},  // the service's own text as it came
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status.message());
    auto login = pushedLogin();
    FailingOperation operation(login.get(), nullptr);
    operation.fail(c.status);
    EXPECT_EQ(overlayText(*login), c.shown);
    auto registration = std::make_shared<NBRegisterAuthController>(consumer());
    nav->pushViewController(registration, false);
    FailingOperation other(registration.get(), nullptr);
    other.fail(c.status);
    EXPECT_EQ(overlayText(*registration), c.shown);
  }
}

TEST_F(SignInScreens, SuccessStoresTheCredentialsAndPopsToTheRoot) {
  auto login = pushedLogin();
  EXPECT_TRUE(nav->isNavigationBarHidden());  // the screen hides the bar
  EXPECT_FALSE(login->isAlreadAuth());
  type(*login, "alice@example.com", "right-pass");
  login->doAuth();
  ASSERT_TRUE(runUntil([&] { return nav->viewControllers().size() == 1; }));
  EXPECT_FALSE(nav->isNavigationBarHidden());
  EXPECT_TRUE(stored("TokenKey").has_value());
  EXPECT_TRUE(stored("TokenSecretKey").has_value());
  EXPECT_EQ(stored("ConsumerKey"), server_->env("NB_CONSUMER_KEY"));
  EXPECT_EQ(stored("ConsumerSecretKey"), server_->env("NB_CONSUMER_SECRET"));
  ASSERT_TRUE(NBAPIInfo::instance().token());
  EXPECT_EQ(NBAPIInfo::instance().token()->token, stored("TokenKey"));
  EXPECT_EQ(login->userNameField()->text(), "");
  EXPECT_EQ(login->passwordField()->text(), "");
  EXPECT_TRUE(login->isAlreadAuth());
}

TEST_F(SignInScreens, SuccessDismissesAModalScreen) {
  auto root = std::make_shared<ui::ViewController>();
  window->setRootViewController(root);
  auto login = std::make_shared<NBAuthController>(consumer());
  root->presentModalViewController(login, true);
  ASSERT_EQ(login->view()->superview(), window.get());
  type(*login, "alice@example.com", "right-pass");
  login->doAuth();
  ASSERT_TRUE(runUntil([&] { return root->modalViewController() == nullptr; }));
  EXPECT_EQ(login->view()->superview(), nullptr);
  EXPECT_TRUE(stored("TokenKey").has_value());
}

TEST_F(SignInScreens, AKeychainThatRefusesKeepsTheScreenWithAMessage) {
  auto login = pushedLogin();
  type(*login, "alice@example.com", "right-pass");
  const std::string blocker = dataHome_->path().string() + "/blocker";
  std::ofstream(blocker) << "x";
  const std::string home = dataHome_->path().string();
  setenv("NB_DATA_HOME", (blocker + "/data").c_str(), 1);  // no keychain can live there
  login->doAuth();
  const bool finished = runUntil([&] { return !login->isLoggingIn(); });
  setenv("NB_DATA_HOME", home.c_str(), 1);
  ASSERT_TRUE(finished);
  EXPECT_EQ(overlayText(*login), NBAuthController::kStoreFailedMessage);
  EXPECT_EQ(nav->topViewController(), login.get());
  EXPECT_EQ(login->passwordField()->text(), "right-pass");
}

TEST_F(SignInScreens, RegistrationWithAWrongCodeFetchesANewImageAndEmptiesTheCode) {
  auto login = pushedLogin();
  login->doRegister();
  auto* screen = dynamic_cast<NBRegisterAuthController*>(nav->topViewController());
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(nav->viewControllers().size(), 3u);
  ASSERT_TRUE(runUntil([&] { return !screen->verificationImageView()->image().empty(); }));
  const auto first = screen->verification();
  ASSERT_TRUE(first);

  type(*screen, "bob@example.com", "bob-pass");
  screen->verificationCodeField()->setText("WRONG");
  screen->doRegister();
  EXPECT_TRUE(screen->isRegistering());
  EXPECT_EQ(screen->verification(), nullptr);  // spent on this attempt
  EXPECT_EQ(overlayText(*screen), "注册中...");
  ASSERT_TRUE(runUntil([&] { return !screen->isRegistering(); }));
  EXPECT_EQ(screen->verificationCodeField()->text(), "");
  EXPECT_EQ(screen->userNameField()->text(), "bob@example.com");
  EXPECT_EQ(screen->passwordField()->text(), "bob-pass");
  EXPECT_NE(overlayText(*screen), "注册中...");
  ASSERT_TRUE(
      runUntil([&] { return screen->verification() != nullptr && !screen->isLoadingImage(); }));
  EXPECT_NE(screen->verification(), first);
  EXPECT_FALSE(screen->verificationImageView()->image().empty());
  EXPECT_FALSE(stored("TokenKey"));
}

TEST_F(SignInScreens, RegistrationSignsTheNewUserInAndLeavesBothScreens) {
  auto presenter = std::make_shared<ui::ViewController>();
  nav = std::make_shared<ui::NavigationController>(std::make_shared<ui::ViewController>());
  window->setRootViewController(nav);
  nav->pushViewController(presenter, false);
  auto login = std::make_shared<NBAuthController>(consumer());
  nav->pushViewController(login, false);
  login->doRegister();
  auto* screen = dynamic_cast<NBRegisterAuthController*>(nav->topViewController());
  ASSERT_NE(screen, nullptr);
  ASSERT_TRUE(runUntil([&] { return screen->verification() != nullptr; }));
  type(*screen, "carol@example.com", "carol-pass");
  screen->verificationCodeField()->setText(server_->env("NB_DEV_VERIFICATION_CODE"));
  screen->doRegister();
  // Back to the presenter beneath the login screen: [root, presenter].
  ASSERT_TRUE(runUntil([&] { return nav->viewControllers().size() == 2; }));
  EXPECT_EQ(nav->topViewController(), presenter.get());
  EXPECT_FALSE(nav->isNavigationBarHidden());
  EXPECT_TRUE(stored("TokenKey").has_value());
  EXPECT_EQ(stored("ConsumerKey"), server_->env("NB_CONSUMER_KEY"));
}

TEST_F(SignInScreens, DestroyedDuringALoginHearsNothingAfterwards) {
  static int callbacks = 0;
  struct Counting : NBAuthController {
    using NBAuthController::NBAuthController;
    void operationSuccess(NBOperation* o, const NBResult& r) override {
      ++callbacks;
      NBAuthController::operationSuccess(o, r);
    }
    void operationFail(NBOperation* o, const std::string& m) override {
      ++callbacks;
      NBAuthController::operationFail(o, m);
    }
  };
  auto screen = std::make_shared<Counting>(consumer());
  screen->view();
  type(*screen, "alice@example.com", "right-pass");
  screen->doAuth();
  ASSERT_TRUE(screen->isLoggingIn());
  screen.reset();

  // A login sent at the same moment shows when the first one's reply would have come.
  struct Done : NBOperationDelegate {
    bool done = false;
    void operationSuccess(NBOperation*, const NBResult&) override { done = true; }
    void operationFail(NBOperation*, const std::string&) override { done = true; }
  } witness;
  auto item = std::make_shared<NBAuthOperationItem>();
  item->consumer = consumer();
  item->userName = "alice@example.com";
  item->password = "right-pass";
  item->httpMethod = "POST";
  auto other = std::make_shared<NBXAuthOperation>(&witness, item);
  other->executeOperation();
  ASSERT_TRUE(runUntil([&] { return witness.done; }));
  runUntil([] { return false; }, 200ms);
  EXPECT_EQ(callbacks, 0);
  EXPECT_FALSE(stored("TokenKey"));
}

TEST_F(SignInScreens, InterfaceFileAndRotationFollowTheIdiom) {
  const struct {
    int idiom;
    const char* login;
    const char* registration;
    bool landscape;
  } cases[] = {
      {ui::kUserInterfaceIdiomPhone, "NBAuthController_iphone", "NBRegisterAuthController_iphone",
       false},
      {ui::kUserInterfaceIdiomPad, "NBAuthController_ipad", "NBRegisterAuthController_ipad", true},
  };
  for (const auto& c : cases) {
    ui::Device::setUserInterfaceIdiom(c.idiom);
    auto login = std::make_shared<NBAuthController>(consumer());
    auto registration = std::make_shared<NBRegisterAuthController>(nullptr);
    EXPECT_EQ(login->interfaceName(), c.login);
    EXPECT_EQ(registration->interfaceName(), c.registration);
    login->view();
    EXPECT_TRUE(login->layoutStatus().ok()) << login->layoutStatus().message();
    EXPECT_TRUE(login->shouldAutorotateToInterfaceOrientation(ui::kOrientationPortrait));
    for (int o : {2, 3, 4}) {
      EXPECT_EQ(login->shouldAutorotateToInterfaceOrientation(o), c.landscape) << o;
    }
  }
}

TEST(InterfaceFiles, MissingOrMalformedFilesAreErrorsNamingTheFile) {
  test::TemporaryFolder dir("nb-ui-layouts");
  setenv("NB_UI_LAYOUT_DIR", dir.path().c_str(), 1);
  std::ofstream(dir.path() / "NBAuthController_iphone.json")
      << "{\"size\": [320, 480], \"views\": [";
  ui::Device::setUserInterfaceIdiom(ui::kUserInterfaceIdiomPhone);
  auto login = std::make_shared<NBAuthController>(std::make_shared<NBConsumer>("k", "s"));
  login->view();
  EXPECT_FALSE(login->layoutStatus().ok());
  EXPECT_NE(login->layoutStatus().message().find("NBAuthController_iphone"), std::string::npos);
  login->doAuth();  // no fields: the check fails, nothing crashes
  EXPECT_FALSE(login->isLoggingIn());

  ui::Device::setUserInterfaceIdiom(ui::kUserInterfaceIdiomPad);
  auto missing = ui::LayoutLoader::load("NBAuthController_ipad", {});
  EXPECT_EQ(missing.status().code(), StatusCode::kNotFound);
  EXPECT_NE(missing.status().message().find("NBAuthController_ipad"), std::string::npos);

  const struct {
    const char* json;
    const char* complaint;
  } bad[] = {
      {"[1, 2]", "not a JSON object"},
      {R"({"size": [320], "views": []})", "size"},
      {R"({"size": [1, 1], "views": [{"type": "slider", "frame": [0, 0, 1, 1]}]})", "slider"},
      {R"({"size": [1, 1], "views": [{"type": "label"}]})", "frame"},
      {R"({"size": [1, 1], "views": [{"type": "view", "frame": [0, 0, 1, 1], "outlet": "_x"}]})",
       "_x"},
      {R"({"size": [1, 1], "views": [{"type": "button", "frame": [0, 0, 1, 1], "action": "fly:"}]})",
       "fly:"},
  };
  for (const auto& c : bad) {
    auto result = ui::LayoutLoader::loadFromString("Sample", c.json, {});
    ASSERT_FALSE(result.ok()) << c.json;
    EXPECT_NE(result.status().message().find("Sample"), std::string::npos);
    EXPECT_NE(result.status().message().find(c.complaint), std::string::npos)
        << result.status().message();
  }
  unsetenv("NB_UI_LAYOUT_DIR");
}

}  // namespace
}  // namespace nb
