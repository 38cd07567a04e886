#include "server/NbServer.h"

#include <algorithm>
#include <chrono>

#include "server/AuthEndpoints.h"
#include "server/CertificateAuthority.h"
#include "server/ContentEndpoints.h"
#include "server/ConversionEndpoints.h"
#include "server/FileEndpoints.h"
#include "server/Seeder.h"
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
  if (HttpTransport::liveWorkers() == 0) return;
  // A request's worker outlived the wait for it and still uses the listener
  // and the stores: leave them to the process's exit rather than pull them
  // from under it.
  (void)http_.release();
  (void)https_.release();
  (void)context_.release();
  (void)admin_.release();
  (void)tap_.release();
  (void)log_.release();
  (void)faults_.release();
  (void)verifier_.release();
  (void)blobs_.release();
  (void)tree_.release();
  (void)accounts_.release();
  (void)db_.release();
}

Status NbServer::start(const Options& options) {
  options_ = options;
  for (const int port : {options.port, options.tlsPort, options.adminPort.value_or(0)}) {
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
  if (auto started = db_->startCheckpointer(); !started.ok()) return started;
  accounts_ = std::make_unique<AccountStore>(*db_);
  blobs_ = std::make_unique<BlobStore>(folder_.path());
  tree_ = std::make_unique<FileTree>(*db_, options.retention, blobs_.get());
  if (auto prepared = blobs_->prepare(); !prepared.ok()) return prepared;
  // The retention may have shortened since the last start.
  if (auto pruned = tree_->pruneAll(); !pruned.ok()) return pruned;
  // A crash between placing a blob and committing its version leaves the blob
  // unreferenced, and so does a crash right after a prune; nothing else
  // removes it.
  const auto referenced = tree_->referencedBlobs();
  blobs_->sweep([&](const std::string& hash) { return referenced.count(hash) != 0; });
  if (!options.seedFolder.empty()) {
    if (auto seeded = Seeder(*accounts_, *tree_, *blobs_).seed(options.seedFolder); !seeded.ok()) {
      return seeded;
    }
  }
  verifier_ = std::make_unique<OAuthVerifier>(*accounts_);
  context_ = std::make_unique<ServiceContext>(ServiceContext{
      *accounts_, *tree_, *blobs_, *verifier_, hosts_, options.dev, kDevVerificationCode});
  if (options.dev) accounts_->devConsumer();

  CertificateAuthority ca(folder_.tlsFolder());
  if (auto prepared = ca.prepare(hosts_.all()); !prepared.ok()) return prepared;
  HttpTransport::Limits limits;
  limits.workers = static_cast<std::size_t>(std::max(1, options.threads));
  limits.perAddress = static_cast<std::size_t>(std::max(1, options.perAddress));
  limits.header = std::chrono::milliseconds(std::max(1, options.headerMillis));
  http_ = std::make_unique<HttpTransport>(limits);
  https_ = std::make_unique<HttpTransport>(limits, ca.certFile(), ca.keyFile());
  if (!https_->valid()) return Status::ioError("cannot load the server certificate");

  ServiceRouter router(*http_, *https_, *context_);
  AuthEndpoints::registerRoutes(router);
  FileEndpoints::registerRoutes(router);
  ContentEndpoints::registerRoutes(router);
  ConversionEndpoints::registerRoutes(router);
  WebEndpoints::registerRoutes(router);

  if (!options.faults.empty()) {
    if (auto added = faults_->add(options.faults); !added.ok()) return added.status();
  }
  if (options.requestLog || options.adminPort) {
    log_ = std::make_unique<RequestLog>(options.requestLog);
  }
  tap_ = std::make_unique<RequestTap>(*faults_, log_.get(), hosts_, *accounts_);
  http_->setTap(tap_.get());
  https_->setTap(tap_.get());

  // Address reuse only, not port sharing: a second server must not start on
  // a taken port and split its clients.
  httpPort_ = http_->bind(options.port);
  if (httpPort_ <= 0) {
    return Status::unavailable("cannot listen on port " + std::to_string(options.port));
  }
  httpsPort_ = https_->bind(options.tlsPort);
  if (httpsPort_ <= 0) {
    return Status::unavailable("cannot listen on port " + std::to_string(options.tlsPort));
  }
  if (options.adminPort) {
    admin_ = std::make_unique<AdminService>(*faults_, *log_);
    adminPort_ = admin_->start(*options.adminPort);
    if (adminPort_ <= 0) {
      return Status::unavailable("cannot listen on admin port " +
                                 std::to_string(*options.adminPort));
    }
  }
  http_->start();
  https_->start();
  return Status::OK();
}

std::string NbServer::exportLines() const {
  std::string lines = exportLine("NB_CONNECT_TO", hosts_.connectTo(httpPort_, httpsPort_)) +
                      exportLine("NB_CA_FILE", CertificateAuthority(folder_.tlsFolder()).caFile());
  if (admin_) {
    lines += exportLine("NB_ADMIN_URL", "http://127.0.0.1:" + std::to_string(adminPort_)) +
             exportLine("NB_ADMIN_TOKEN", admin_->token());
  }
  if (options_.dev) {
    const auto consumer = accounts_->devConsumer();
    lines += exportLine("NB_CONSUMER_KEY", consumer.key) +
             exportLine("NB_CONSUMER_SECRET", consumer.secret) +
             exportLine("NB_DEV_VERIFICATION_CODE", kDevVerificationCode);
  }
  return lines;
}

void NbServer::stop() {
  if (admin_) admin_->stop();
  if (http_) http_->stop();
  if (https_) https_->stop();
  lock_.reset();
}

}  // namespace nb::server
