// NbServer: one running emulator — the stores of a data folder and the two
// loopback listeners (HTTP and HTTPS) serving all four host roles. Start and
// stop from one thread; requests are served on the listeners' own threads.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "server/AccountStore.h"
#include "server/AdminService.h"
#include "server/BlobStore.h"
#include "server/DataFolder.h"
#include "server/Database.h"
#include "server/FaultRules.h"
#include "server/FileTree.h"
#include "server/HostNames.h"
#include "server/HttpTransport.h"
#include "server/OAuthVerifier.h"
#include "server/RequestLog.h"
#include "server/RequestTap.h"
#include "server/ServiceContext.h"

namespace nb::server {

class NbServer {
 public:
  struct Options {
    int port = 0;     // 0 picks a free port
    int tlsPort = 0;  // 0 picks a free port
    bool dev = false;
    int threads = 4096;               // most requests served at once per listener (a thread each)
    int perAddress = 1024;            // most connections open at once from one client address
    int headerMillis = 10000;         // a request's whole header must arrive within this
    Retention retention;              // the old versions kept beside the current files
    std::optional<int> adminPort;     // the admin API's port (0 picks one); none: no admin API
    std::string faults;               // fault rules in force from the start (JSON), or empty
    std::FILE* requestLog = nullptr;  // where each request is logged, or none; not closed here
    std::string seedFolder;           // users and files added at start (see Seeder), or empty
  };
  static constexpr const char* kDevVerificationCode = "7Q4KM";

  explicit NbServer(DataFolder folder) : folder_(std::move(folder)) {}
  ~NbServer();

  // Takes the data folder's lock, opens the stores, removes blobs no version
  // holds, makes the certificates, binds both ports and starts serving. An
  // error when any step fails (another server on the folder, a port out of
  // range or taken).
  Status start(const Options& options);
  // The shell lines ("export NAME='value'") that point clients at this server.
  std::string exportLines() const;
  void stop();
  // The admin API's port and token; 0 and empty without one.
  int adminPort() const { return adminPort_; }
  std::string adminToken() const { return admin_ ? admin_->token() : std::string(); }
  FaultRules& faults() { return *faults_; }

 private:
  DataFolder folder_;
  std::optional<DataFolder::Lock> lock_;  // held while serving
  Options options_;
  HostNames hosts_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<AccountStore> accounts_;
  std::unique_ptr<FileTree> tree_;
  std::unique_ptr<BlobStore> blobs_;
  std::unique_ptr<OAuthVerifier> verifier_;
  std::unique_ptr<ServiceContext> context_;
  std::unique_ptr<FaultRules> faults_ = std::make_unique<FaultRules>();
  std::unique_ptr<RequestLog> log_;
  std::unique_ptr<RequestTap> tap_;
  std::unique_ptr<AdminService> admin_;
  int adminPort_ = 0;
  std::unique_ptr<HttpTransport> http_;
  std::unique_ptr<HttpTransport> https_;
  int httpPort_ = 0, httpsPort_ = 0;
};

// "export NAME='value'" with the value quoted for a POSIX shell.
std::string exportLine(const std::string& name, const std::string& value);

}  // namespace nb::server
