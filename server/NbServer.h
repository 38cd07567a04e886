// NbServer: one running emulator — the stores of a data folder and the two
// loopback listeners (HTTP and HTTPS) serving all four host roles. Start and
// stop from one thread; requests are served on the listeners' own threads.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>
#include <thread>

#include "server/AccountStore.h"
#include "server/BlobStore.h"
#include "server/DataFolder.h"
#include "server/Database.h"
#include "server/FileTree.h"
#include "server/HostNames.h"
#include "server/OAuthVerifier.h"
#include "server/ServiceContext.h"

namespace nb::server {

class NbServer {
 public:
  struct Options {
    int port = 0;     // 0 picks a free port
    int tlsPort = 0;  // 0 picks a free port
    bool dev = false;
    int threads = 64;  // request threads per listener
  };
  static constexpr const char* kDevVerificationCode = "7Q4KM";

  explicit NbServer(DataFolder folder) : folder_(std::move(folder)) {}
  ~NbServer();

  // Opens the stores, makes the certificates, binds both ports and starts
  // serving. False with `error` set when any step fails.
  bool start(const Options& options, std::string* error);
  // The shell lines ("export NAME='value'") that point clients at this server.
  std::string exportLines() const;
  void stop();

 private:
  DataFolder folder_;
  Options options_;
  HostNames hosts_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<AccountStore> accounts_;
  std::unique_ptr<FileTree> tree_;
  std::unique_ptr<BlobStore> blobs_;
  std::unique_ptr<OAuthVerifier> verifier_;
  std::unique_ptr<ServiceContext> context_;
  std::unique_ptr<httplib::Server> http_;
  std::unique_ptr<httplib::SSLServer> https_;
  std::thread httpThread_, httpsThread_;
  int httpPort_ = 0, httpsPort_ = 0;
};

// "export NAME='value'" with the value quoted for a POSIX shell.
std::string exportLine(const std::string& name, const std::string& value);

}  // namespace nb::server
