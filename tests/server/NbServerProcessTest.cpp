// The emulator as a process: its data survives restarts and crashes, and its
// administration commands, printed environment, reset and throwaway mode work.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/server/ServiceClient.h"

namespace nb::test {
namespace {

std::string download(ServiceClient& client, const NBToken& token, const std::string& path) {
  return client
      .signedGet("http://" + ServiceClient::content() + "/1/fileops/download_file", &token,
                 {{"root", "app"}, {"path", path}})
      .body;
}

bool folderEmpty(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_empty(path, ec) && !ec;
}

TEST(NbServerProcessTest, DataSurvivesRestartAndKillDuringUpload) {
  NbServerProcess server;
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_TRUE(server.addUser("frank", "frank-pass"));
  ServiceClient client(server);
  NBToken token = client.loginToken("frank", "frank-pass");
  const std::vector<std::pair<std::string, std::string>> files = {
      {"/one.txt", "first file"}, {"/two.bin", std::string(100000, '\x7f')}};
  for (const auto& [path, content] : files) {
    ASSERT_EQ(client.upload(token, path, content, false).status, 200);
  }

  ASSERT_TRUE(server.restart()) << server.error();
  for (const auto& [path, content] : files) EXPECT_EQ(download(client, token, path), content);

  // Start an 8 MiB upload, send 1 MiB of it, and kill the server outright.
  const NBParameters params{{"root", "app"}, {"path", "/partial.bin"}, {"overwrite", "False"}};
  const std::string url = SignatureHelper::getSignatureUrlString(
      "http://" + ServiceClient::content() + "/1/fileops/upload_file", "POST", client.consumer(),
      &token, &params);
  const std::string boundary = "b0undary";
  const std::string head = "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"file\"; "
                           "filename=\"partial.bin\"\r\n\r\n";
  const std::size_t total = head.size() + (8u << 20) + boundary.size() + 6;
  const std::string request = "POST " + url.substr(url.find("/1/")) + " HTTP/1.1\r\nHost: " +
                              ServiceClient::content() +
                              "\r\nContent-Type: multipart/form-data; boundary=" + boundary +
                              "\r\nContent-Length: " + std::to_string(total) + "\r\n\r\n" + head +
                              std::string(1u << 20, 'p');
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(server.httpPort()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  const std::string tmp = server.dataFolder() + "/tmp";
  for (int i = 0; i < 1000 && folderEmpty(tmp); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(folderEmpty(tmp)) << "the upload should be under way";
  server.stop(SIGKILL);
  close(fd);

  ASSERT_TRUE(server.restart()) << server.error();
  for (const auto& [path, content] : files) EXPECT_EQ(download(client, token, path), content);
  const Reply partial = client.signedGet(
      "http://" + ServiceClient::api() + "/1/metadata/app/%2Fpartial.bin", &token);
  EXPECT_EQ(partial.status, 404) << partial.body;
  EXPECT_TRUE(folderEmpty(tmp)) << "the half-written upload is cleared at start";
  const Reply info = client.signedGet("http://" + ServiceClient::api() + "/1/account_info", &token);
  EXPECT_EQ(jsonField(info.body, "quota_used"), std::to_string(10 + 100000));
}

TEST(NbServerProcessTest, PrintEnvAndReset) {
  NbServerProcess server;
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_TRUE(server.addUser("gina", "gina-pass"));
  const std::string binary = NB_SERVER_BINARY;
  const std::string data = server.dataFolder();

  std::string printed;
  {
    FILE* pipe = popen((binary + " --print-env --data " + data).c_str(), "r");
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe)) printed += buffer;
    EXPECT_EQ(pclose(pipe), 0);
  }
  for (const auto& [name, value] : server.environment()) {
    EXPECT_NE(printed.find("export " + name + "='" + value + "'"), std::string::npos) << name;
  }
  EXPECT_NE(server.runCommand({"reset", "--data", data}), 0) << "refused while the server runs";

  // A consumer added while the server runs can sign at once.
  std::string added;
  {
    FILE* pipe = popen((binary + " consumer add --data " + data + " tool").c_str(), "r");
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe)) added += buffer;
    EXPECT_EQ(pclose(pipe), 0);
  }
  const auto value = [&](const std::string& name) {
    const auto at = added.find(name + "='") + name.size() + 2;
    return added.substr(at, added.find('\'', at) - at);
  };
  const NBConsumer tool(value("NB_CONSUMER_KEY"), value("NB_CONSUMER_SECRET"));
  ServiceClient client(server);
  const std::string url = SignatureHelper::getSignatureUrlString(
      "https://" + ServiceClient::api() + "/open/requestToken", "GET", tool, nullptr, nullptr);
  EXPECT_EQ(client.send("GET", url).status, 200) << added;
  EXPECT_NE(server.runCommand({"user", "add", "--data", data, "gina", "again"}), 0)
      << "names are unique";

  server.stop(SIGTERM);
  EXPECT_NE(server.runCommand({"--print-env", "--data", data}), 0) << "no server any more";
  EXPECT_EQ(server.runCommand({"reset", "--data", data}), 0);
  const std::string caBefore = server.env("NB_CA_FILE");
  const std::string keyBefore = server.env("NB_CONSUMER_KEY");
  ASSERT_TRUE(server.restart());
  EXPECT_EQ(server.env("NB_CA_FILE"), caBefore);
  EXPECT_EQ(server.env("NB_CONSUMER_KEY"), keyBefore) << "consumers survive a reset";
  EXPECT_EQ(jsonField(client.login("gina", "gina-pass").body, "msg"), "login fail")
      << "accounts do not";
}

TEST(NbServerProcessTest, OneServerPerDataFolderAndPort) {
  NbServerProcess server;
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_TRUE(server.addUser("hal", "hal-pass"));
  const std::string data = server.dataFolder();
  TemporaryFolder other("nbserver-other");
  const std::string port = std::to_string(server.httpPort());
  struct Case {
    const char* what;
    std::vector<std::string> args;
  } cases[] = {
      {"second server on the folder", {"--data", data, "--port", "0", "--tls-port", "0"}},
      {"reset while serving", {"reset", "--data", data}},
      {"port taken", {"--data", other.path(), "--port", port, "--tls-port", "0"}},
      {"port out of range", {"--data", other.path(), "--port", "99999", "--tls-port", "0"}},
      {"negative port", {"--data", other.path(), "--port", "0", "--tls-port", "-1"}},
  };
  for (const auto& c : cases) EXPECT_NE(server.runCommand(c.args), 0) << c.what;

  // The running server lost nothing and still takes uploads.
  ServiceClient client(server);
  const NBToken token = client.loginToken("hal", "hal-pass");
  ASSERT_TRUE(token.token) << "the account survived";
  EXPECT_EQ(client.upload(token, "/after.txt", "still here", false).status, 200);
  EXPECT_EQ(download(client, token, "/after.txt"), "still here");
}

TEST(NbServerProcessTest, UnreferencedBlobsAreSweptAtStart) {
  NbServerProcess server;
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_TRUE(server.addUser("ida", "ida-pass"));
  ServiceClient client(server);
  const NBToken token = client.loginToken("ida", "ida-pass");
  ASSERT_EQ(client.upload(token, "/kept.txt", "kept", false).status, 200);
  server.stop(SIGKILL);
  // What a kill between placing a blob and committing its version leaves.
  const std::string orphan = server.dataFolder() + "/blobs/ab/ab" + std::string(62, '0');
  std::filesystem::create_directories(server.dataFolder() + "/blobs/ab");
  { std::ofstream(orphan) << "orphan"; }
  ASSERT_TRUE(server.restart()) << server.error();
  EXPECT_FALSE(std::filesystem::exists(orphan));
  EXPECT_EQ(download(client, token, "/kept.txt"), "kept");
}

TEST(NbServerProcessTest, EphemeralFolderIsRemovedAtExit) {
  NbServerProcess server({"--ephemeral"});
  ASSERT_TRUE(server.ok()) << server.error();
  const std::filesystem::path ca = server.env("NB_CA_FILE");
  const auto folder = ca.parent_path().parent_path();
  EXPECT_NE(folder.string(), server.dataFolder());
  EXPECT_TRUE(std::filesystem::exists(ca));
  server.stop(SIGTERM);
  EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST(NbServerProcessTest, HelpDocumentsEveryFlagAndCommand) {
  for (const std::string args : {"--help", "user add --help", "consumer add --help",
                                 "token revoke --help", "reset --help"}) {
    std::string help;
    FILE* pipe = popen((std::string(NB_SERVER_BINARY) + " " + args).c_str(), "r");
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe)) help += buffer;
    EXPECT_EQ(pclose(pipe), 0) << args;
    EXPECT_NE(help.find("--data"), std::string::npos) << args;
  }
  std::string help;
  FILE* pipe = popen((std::string(NB_SERVER_BINARY) + " --help").c_str(), "r");
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe)) help += buffer;
  pclose(pipe);
  for (const char* word : {"--port", "--tls-port", "--data", "--threads", "--dev", "--ephemeral", "--print-env",
                           "user", "consumer", "token", "reset"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace nb::test
