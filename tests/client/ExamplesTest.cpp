// The examples of the three call forms, and of tracing, run against a real
// nbserver: with the credentials a sign-in stored in the keychain (a file
// keychain in a temporary data folder), and the blocking one also with a user
// and password.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>

#include "nb/Private/KeychainUtils.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/client/NBClient.h"
#include "tests/support/NbServerProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace nb {
namespace {

struct ExampleRun {
  int exitCode = -1;
  std::string output;  // standard output and error together
};

ExampleRun runExample(const std::string& command, const std::filesystem::path& folder) {
  const std::filesystem::path log = folder / "example.log";
  const int status = std::system((command + " > '" + log.string() + "' 2>&1").c_str());
  std::ifstream in(log);
  std::ostringstream text;
  text << in.rdbuf();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

TEST(ExamplesTest, EachFormsExampleWorksAgainstTheEmulator) {
  test::TemporaryFolder home("nb-client-examples");
  ASSERT_TRUE(home.ok());
  ::setenv("NB_HOME", home.path().c_str(), 1);
  ::setenv("NB_DATA_HOME", (home.path() / "data").c_str(), 1);
  ::setenv("NB_KEYCHAIN", "file", 1);
  test::NbServerProcess server;
  ASSERT_TRUE(server.ok()) << server.error();
  server.setEnvironment();
  ASSERT_TRUE(server.addUser("sample", "sample-pass"));
  const std::string key = server.env("NB_CONSUMER_KEY");
  const std::string secret = server.env("NB_CONSUMER_SECRET");
  ::setenv("NB_CONSUMER_KEY", key.c_str(), 1);
  ::setenv("NB_CONSUMER_SECRET", secret.c_str(), 1);

  // With a user and password the blocking example keeps the keychain empty.
  ExampleRun direct =
      runExample(std::string(EXAMPLE_BLOCKING_CALL) + " sample sample-pass", home.path());
  EXPECT_EQ(direct.exitCode, 0) << direct.output;
  EXPECT_NE(direct.output.find("sample uses"), std::string::npos) << direct.output;
  ExampleRun signedOut = runExample(EXAMPLE_BLOCKING_CALL, home.path());
  EXPECT_EQ(signedOut.exitCode, 1) << signedOut.output;
  EXPECT_NE(signedOut.output.find("no access token"), std::string::npos) << signedOut.output;

  // Stores the sign-in in the keychain, as `nb login` does.
  const NBClient signIn(NBCredentialSource::fixed(NBConsumer(key, secret), std::nullopt));
  auto login = std::make_shared<NBAuthOperationItem>();
  login->userName = "sample";
  login->password = "sample-pass";
  login->httpMethod = "POST";
  auto token = signIn.call<NBXAuthOperation>(login);
  ASSERT_TRUE(token.ok()) << token.status().toString();
  const std::string service = NBHosts::webHost();
  ASSERT_TRUE(KeychainUtils::storeKey(NBAPIInfo::kConsumerKey, key, service, true));
  ASSERT_TRUE(KeychainUtils::storeKey(NBAPIInfo::kConsumerSecretKey, secret, service, true));
  ASSERT_TRUE(KeychainUtils::storeKey(NBAPIInfo::kTokenKey, (*token)->token, service, true));
  ASSERT_TRUE(
      KeychainUtils::storeKey(NBAPIInfo::kTokenSecretKey, (*token)->tokenSecret, service, true));

  const ExampleRun blocking = runExample(EXAMPLE_BLOCKING_CALL, home.path());
  EXPECT_EQ(blocking.exitCode, 0) << blocking.output;
  EXPECT_NE(blocking.output.find("sample uses"), std::string::npos) << blocking.output;

  const ExampleRun coroutine =
      runExample(std::string(EXAMPLE_COROUTINE_CALLS) + " /shared", home.path());
  EXPECT_EQ(coroutine.exitCode, 0) << coroutine.output;
  EXPECT_NE(coroutine.output.find("/shared/hello.txt 24"), std::string::npos) << coroutine.output;

  const ExampleRun future = runExample(std::string(EXAMPLE_FUTURE_CALLS) + " /shared", home.path());
  EXPECT_EQ(future.exitCode, 0) << future.output;
  EXPECT_NE(future.output.find("  hello.txt"), std::string::npos) << future.output;

  // One span per call, and the counters of both.
  const ExampleRun spans = runExample(std::string(EXAMPLE_TRACE_SPANS) + " /shared", home.path());
  EXPECT_EQ(spans.exitCode, 0) << spans.output;
  EXPECT_NE(spans.output.find(R"("name":"NBGetUserInfoOperation")"), std::string::npos)
      << spans.output;
  EXPECT_NE(spans.output.find(R"("http.status_code":200)"), std::string::npos) << spans.output;
  EXPECT_NE(spans.output.find("2 calls, 2 requests, 0 failed"), std::string::npos) << spans.output;
}

}  // namespace
}  // namespace nb
