#include "server/NbServer.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "server/AuthEndpoints.h"
#include "server/CertificateAuthority.h"
#include "server/ConnectionThreads.h"
#include "server/ContentEndpoints.h"
#include "server/ConversionEndpoints.h"
#include "server/FileEndpoints.h"
#include "server/ServiceRouter.h"
#include "server/WebEndpoints.h"

namespace nb::server {

std::string exportLine(const std::string& name, const std::string& value) {
  std::string quoted = "'";
  for (const char c : value) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  return "export " + name + "=" + quoted + "'\n";
}

NbServer::~NbServer() {
  stop();
  if (ConnectionThreads::live() == 0) return;
  // A connection thread outlived the wait for it and still uses the listener
  // and the stores: leave them to the process's exit rather than pull them
  // from under it.
  (void)http_.release();
  (void)https_.release();
  (void)context_.release();
  (void)verifier_.release();
  (void)blobs_.release();
  (void)tree_.release();
  (void)accounts_.release();
  (void)db_.release();
}

Status NbServer::start(const Options& options) {
  options_ = options;
  for (const int port : {options.port, options.tlsPort}) {
    if (port < 0 || port > 65535) {
      return Status::invalidArgument("port " + std::to_string(port) +
                                     " is out of range (0 to 65535)");
    }
  }
  auto lock = folder_.lock();
  if (!lock.ok()) return lock.status();
  lock_ = std::move(*lock);
  auto db = Database::open(folder_.metadataFile());
  if (!db.ok()) return db.status();
  db_ = std::move(*db);
  accounts_ = std::make_unique<AccountStore>(*db_);
  tree_ = std::make_unique<FileTree>(*db_);
  blobs_ = std::make_unique<BlobStore>(folder_.path());
  if (auto prepared = blobs_->prepare(); !prepared.ok()) return prepared;
  // A crash between placing a blob and committing its version leaves the blob
  // unreferenced; nothing else removes it.
  const auto referenced = tree_->referencedBlobs();
  blobs_->sweep([&](const std::string& hash) { return referenced.count(hash) != 0; });
  verifier_ = std::make_unique<OAuthVerifier>(*accounts_);
  context_ = std::make_unique<ServiceContext>(
      ServiceContext{*accounts_, *tree_, *blobs_, *verifier_, hosts_, options.dev,
                     kDevVerificationCode});
  if (options.dev) accounts_->devConsumer();

  CertificateAuthority ca(folder_.tlsFolder());
  if (auto prepared = ca.prepare(hosts_.all()); !prepared.ok()) return prepared;
  http_ = std::make_unique<Listener<httplib::Server>>();
  https_ =
      std::make_unique<Listener<httplib::SSLServer>>(ca.certFile().c_str(), ca.keyFile().c_str());
  if (!https_->is_valid()) return Status::ioError("cannot load the server certificate");

  const auto threads = static_cast<std::size_t>(std::max(1, options.threads));
  for (httplib::Server* server : {static_cast<httplib::Server*>(http_.get()),
                                  static_cast<httplib::Server*>(https_.get())}) {
    // A thread per open connection: clients that are slow, idle or trickle
    // hold only their own.
    server->new_task_queue = [threads] { return new ConnectionThreads(threads); };
    // The wait for a connection's next request, its first included: a busy
    // client may take a moment between connecting and sending. Stopping waits
    // for idle connections at most this long.
    server->set_keep_alive_timeout(5);
    server->set_keep_alive_max_count(100000);
    server->set_read_timeout(5);
    // Small replies go out at once, not after the peer's delayed ACK.
    server->set_tcp_nodelay(true);
    // Address reuse only: the transport's default also shares the port with
    // any other process that asks (SO_REUSEPORT), so a second server would
    // start on a taken port and split its clients.
    server->set_socket_options([](socket_t sock) {
      int yes = 1;
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
  }

  ServiceRouter router(*http_, *https_, *context_);
  AuthEndpoints::registerRoutes(router);
  FileEndpoints::registerRoutes(router);
  ContentEndpoints::registerRoutes(router);
  ConversionEndpoints::registerRoutes(router);
  WebEndpoints::registerRoutes(router);

  const auto bind = [](httplib::Server& server, int port) {
    if (port == 0) return server.bind_to_any_port("127.0.0.1");
    return server.bind_to_port("127.0.0.1", port) ? port : -1;
  };
  httpPort_ = bind(*http_, options.port);
  if (httpPort_ <= 0) {
    return Status::unavailable("cannot listen on port " + std::to_string(options.port));
  }
  httpsPort_ = bind(*https_, options.tlsPort);
  if (httpsPort_ <= 0) {
    return Status::unavailable("cannot listen on port " + std::to_string(options.tlsPort));
  }
  // The transport listens with a backlog of 5; connections that arrive in a
  // burst would wait a second for a SYN retransmit. Listening again widens it.
  ::listen(http_->listeningSocket(), SOMAXCONN);
  ::listen(https_->listeningSocket(), SOMAXCONN);
  httpThread_ = std::thread([this] { http_->listen_after_bind(); });
  httpsThread_ = std::thread([this] { https_->listen_after_bind(); });
  // Report ready only once both loops run: a stop() before that would be
  // missed by a loop that has not started yet.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!http_->is_running() || !https_->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      stop();
      return Status::internal("the listeners did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return Status::OK();
}

std::string NbServer::exportLines() const {
  std::string lines = exportLine("NB_CONNECT_TO", hosts_.connectTo(httpPort_, httpsPort_)) +
                      exportLine("NB_CA_FILE", CertificateAuthority(folder_.tlsFolder()).caFile());
  if (options_.dev) {
    const auto consumer = accounts_->devConsumer();
    lines += exportLine("NB_CONSUMER_KEY", consumer.key) +
             exportLine("NB_CONSUMER_SECRET", consumer.secret) +
             exportLine("NB_DEV_VERIFICATION_CODE", kDevVerificationCode);
  }
  return lines;
}

void NbServer::stop() {
  if (http_) http_->stop();
  if (https_) https_->stop();
  if (httpThread_.joinable()) httpThread_.join();
  if (httpsThread_.joinable()) httpsThread_.join();
  lock_.reset();
}

}  // namespace nb::server
