// nbserver: a local emulator of the storage service, for developing and
// testing applications on one machine. See `nbserver --help`.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "server/AccountStore.h"
#include "server/BlobStore.h"
#include "server/DataFolder.h"
#include "server/Database.h"
#include "server/ImageRenderer.h"
#include "server/NbServer.h"
#include "server/Seeder.h"

namespace {

using namespace nb::server;

int fail(const std::string& message) {
  std::cerr << "nbserver: " << message << "\n";
  return 1;
}

// The data folder and its database, for the administration commands.
struct Admin {
  std::optional<DataFolder> folder;
  std::unique_ptr<Database> db;
  std::string error;

  explicit Admin(const std::string& path) {
    auto opened = DataFolder::open(path);
    if (!opened.ok()) {
      error = opened.status().message();
      return;
    }
    folder = std::move(*opened);
    auto database = Database::open(folder->metadataFile());
    if (database.ok()) {
      db = std::move(*database);
    } else {
      error = database.status().message();
    }
  }
  bool ok() const { return db != nullptr; }
};

// Writes `text` to `path` whole or not at all: a reader polling for the file
// never sees it half written.
bool writeAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      std::filesystem::remove(temporary);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) std::filesystem::remove(temporary, ec);
  return !ec;
}

// Where the server reports to for testing, from the command line.
struct TestingOptions {
  std::string readyFile;   // written with the export lines once serving
  std::string faultsFile;  // fault rules in force from the start
  std::string requestLog;  // a file, or "-" for standard output
  bool inMemory = false;   // the temporary data folder lives in memory
};

// A new temporary data folder under `base` (the system's temporary folder
// when empty); empty when it cannot be made.
std::string temporaryDataFolder(std::filesystem::path base) {
  if (base.empty()) base = std::filesystem::temp_directory_path();
  std::string pattern = (base / "nbserver-XXXXXX").string();
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

int serve(std::string data, bool ephemeral, NbServer::Options options,
          const TestingOptions& testing) {
  if (!testing.faultsFile.empty()) {
    std::ifstream in(testing.faultsFile, std::ios::binary);
    if (!in) return fail("cannot read " + testing.faultsFile);
    std::ostringstream text;
    text << in.rdbuf();
    options.faults = text.str();
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> logFile(nullptr, &std::fclose);
  if (testing.requestLog == "-") {
    options.requestLog = stdout;
  } else if (!testing.requestLog.empty()) {
    logFile.reset(std::fopen(testing.requestLog.c_str(), "a"));
    if (!logFile) return fail("cannot open " + testing.requestLog);
    options.requestLog = logFile.get();
  }
  if (ephemeral) {
    // In memory: the same stores on a memory-backed file system, so that it
    // behaves exactly as the disk mode does.
    data = temporaryDataFolder(
        testing.inMemory && std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "");
    if (data.empty()) return fail("cannot make a temporary data folder");
  }
  auto folder = DataFolder::open(data);
  if (!folder.ok()) return fail(folder.status().message());

  // Signals are taken by sigwait below, never by a request thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  int status = 0;
  {
    NbServer server(*folder);
    if (const auto started = server.start(options); !started.ok()) {
      status = fail(started.message());
    } else {
      const std::string lines = server.exportLines();
      folder->writeEnvironment(lines);
      std::fputs(lines.c_str(), stdout);
      std::fflush(stdout);
      if (!testing.readyFile.empty() && !writeAtomically(testing.readyFile, lines)) {
        status = fail("cannot write " + testing.readyFile);
        server.stop();
        folder->removeEnvironment();
      } else {
        int received = 0;
        sigwait(&signals, &received);
        server.stop();
        folder->removeEnvironment();
        if (!testing.readyFile.empty()) std::filesystem::remove(testing.readyFile);
      }
    }
  }
  ImageRenderer::releaseCaches();
  if (ephemeral) {
    std::error_code ec;
    std::filesystem::remove_all(folder->path(), ec);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "nbserver: a local emulator of the storage service.\n"
      "Serves the API, content, conversion and web hosts on two loopback listeners\n"
      "(HTTP and HTTPS), told apart by the Host header. Once listening it prints\n"
      "shell lines to eval: NB_CONNECT_TO and NB_CA_FILE (and in --dev the\n"
      "development consumer and verification code). Stop it with Ctrl-C or SIGTERM."};
  app.require_subcommand(0, 1);

  std::string data = "nbserver-data";
  int port = 0, tlsPort = 0, threads = 4096, perAddress = 1024;
  double headerSeconds = 10;
  Retention retention;
  double deletedDays = static_cast<double>(retention.deletedSeconds) / 86400;
  bool dev = false, ephemeral = false, printEnv = false;
  app.add_option("--data", data, "Data folder (metadata.db, blobs/, tls/); created when absent")
      ->capture_default_str();
  app.add_option("--port", port, "HTTP port on 127.0.0.1; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--tls-port", tlsPort, "HTTPS port on 127.0.0.1; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--threads", threads,
                 "Requests served at once per listener, a thread each; more wait for one "
                 "to finish (open connections waiting for a request hold no thread)")
      ->check(CLI::Range(1, 16384))
      ->capture_default_str();
  app.add_option("--max-connections-per-address", perAddress,
                 "Connections open at once from one client address, per listener; more "
                 "are refused with 503")
      ->check(CLI::Range(1, 1 << 20))
      ->capture_default_str();
  app.add_option("--header-timeout", headerSeconds,
                 "Seconds a request's whole header may take from its first byte; a client "
                 "slower than that is disconnected")
      ->check(CLI::Range(0.001, 3600.0))
      ->capture_default_str();
  app.add_option("--versions-kept", retention.versionsPerFile,
                 "Versions kept of each file, the current one included; older ones are "
                 "removed with their content")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  app.add_option("--deleted-retention-days", deletedDays,
                 "Days the versions of a deleted file are kept after its deletion (0: "
                 "removed at once)")
      ->check(CLI::Range(0.0, 36500.0))
      ->capture_default_str();
  app.add_flag("--dev", dev,
               "Development mode: makes a development consumer and prints it, fixes the "
               "registration verification code and prints it, and lets the authorisation "
               "page allow a request token at once");
  app.add_flag("--ephemeral", ephemeral,
               "Serve from a new temporary data folder, removed when the server stops "
               "(--data is ignored)");
  TestingOptions testing;
  int adminPort = -1;
  app.add_option("--admin-port", adminPort,
                 "Serve the testing admin API (health, fault rules, request log) on this "
                 "127.0.0.1 port, guarded by a token printed as NB_ADMIN_TOKEN; 0 picks a "
                 "free one")
      ->check(CLI::Range(0, 65535));
  app.add_flag("--in-memory", testing.inMemory,
               "Serve from a new data folder in memory (/dev/shm), gone when the server "
               "stops (--data is ignored)");
  std::string seedFolder;
  app.add_option("--seed", seedFolder,
                 "Add the users, consumers and files of this seed folder at start (one "
                 "subfolder per user holding one folder per root, and users.json; see "
                 "server/README.md)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--ready-file", testing.readyFile,
                 "Once every port listens, write the export lines to this file (whole, by "
                 "a rename); removed at exit");
  app.add_option("--faults", testing.faultsFile,
                 "Fault rules (a JSON array, see server/README.md) in force from the start");
  app.add_option("--request-log", testing.requestLog,
                 "Log each request as a JSON line to this file (appended), or - for "
                 "standard output");
  app.add_flag("--print-env", printEnv,
               "Print the export lines of the server running on --data, then exit");

  auto* user = app.add_subcommand("user", "Manage accounts (also while a server runs)");
  user->require_subcommand(1);
  auto* userAdd =
      user->add_subcommand("add", "Create an account: user add --data DIR NAME PASSWORD");
  std::string userName, password;
  std::int64_t quota = AccountStore::kDefaultQuota, maxFileSize = AccountStore::kDefaultMaxFileSize;
  userAdd->add_option("--data", data, "Data folder")->required();
  userAdd->add_option("name", userName, "User name")->required();
  userAdd->add_option("password", password, "Password")->required();
  userAdd->add_option("--quota", quota, "Storage quota in bytes")->capture_default_str();
  userAdd->add_option("--max-file-size", maxFileSize, "Largest single upload in bytes")
      ->capture_default_str();

  auto* consumer = app.add_subcommand("consumer", "Manage application consumers");
  consumer->require_subcommand(1);
  auto* consumerAdd = consumer->add_subcommand(
      "add", "Register an application; prints its key and secret as export lines");
  std::string consumerName = "application";
  consumerAdd->add_option("--data", data, "Data folder")->required();
  consumerAdd->add_option("name", consumerName, "Application name")->capture_default_str();

  auto* token = app.add_subcommand("token", "Manage OAuth tokens");
  token->require_subcommand(1);
  auto* tokenRevoke = token->add_subcommand("revoke", "Revoke an access or request token");
  std::string tokenText;
  tokenRevoke->add_option("--data", data, "Data folder")->required();
  tokenRevoke->add_option("token", tokenText, "The token (oauth_token value)")->required();

  auto* seed = app.add_subcommand(
      "seed", "Add the users, consumers and files of a seed folder: seed --data DIR SEED_DIR");
  seed->add_option("--data", data, "Data folder")->required();
  seed->add_option("seed", seedFolder, "Seed folder")->required()->check(CLI::ExistingDirectory);

  auto* reset =
      app.add_subcommand("reset",
                         "Wipe the data folder to empty (accounts, files, tokens), keeping the "
                         "certificate and consumers; refused while a server runs on it");
  reset->add_option("--data", data, "Data folder")->required();

  CLI11_PARSE(app, argc, argv);

  if (userAdd->parsed() || consumerAdd->parsed() || tokenRevoke->parsed() || reset->parsed() ||
      seed->parsed()) {
    Admin admin(data);
    if (!admin.ok()) return fail(admin.error);
    AccountStore accounts(*admin.db);
    if (seed->parsed()) {
      BlobStore blobs(admin.folder->path());
      FileTree tree(*admin.db, Retention{}, &blobs);
      if (auto prepared = blobs.prepare(); !prepared.ok()) return fail(prepared.message());
      const auto seeded = Seeder(accounts, tree, blobs).seed(seedFolder);
      return seeded.ok() ? 0 : fail(seeded.message());
    }
    if (userAdd->parsed()) {
      if (userName.empty() || password.empty()) return fail("name and password must not be empty");
      if (quota < 0 || maxFileSize < 0) return fail("sizes must not be negative");
      switch (accounts.addUser(userName, password, quota, maxFileSize)) {
        case AccountStore::AddUser::kAdded:
          return 0;
        case AccountStore::AddUser::kExists:
          return fail("user " + userName + " exists");
        case AccountStore::AddUser::kFailed:
          return fail("cannot write " + data);
      }
    }
    if (consumerAdd->parsed()) {
      const auto pair = accounts.addConsumer(consumerName);
      std::cout << exportLine("NB_CONSUMER_KEY", pair.key)
                << exportLine("NB_CONSUMER_SECRET", pair.secret);
      return 0;
    }
    if (tokenRevoke->parsed()) {
      return accounts.revokeToken(tokenText) ? 0 : fail("no such token");
    }
    // The lock keeps a server from starting on the folder while it is wiped,
    // and refuses the wipe while one serves.
    const auto lock = admin.folder->lock();
    if (!lock.ok()) return fail(lock.status().message());
    std::error_code ec;
    if (!admin.db->wipe()) return fail("cannot wipe " + data);
    std::filesystem::remove_all(admin.folder->blobsFolder(), ec);
    if (ec) return fail(ec.message());
    return 0;
  }

  if (printEnv) {
    const auto folder = DataFolder::open(data);
    if (!folder.ok()) return fail(folder.status().message());
    const auto lines = folder->runningEnvironment();
    if (!lines) return fail("no server is running on " + data);
    std::cout << *lines << std::flush;
    return 0;
  }
  retention.deletedSeconds = static_cast<std::int64_t>(deletedDays * 86400);
  NbServer::Options options;
  options.port = port;
  options.tlsPort = tlsPort;
  options.dev = dev;
  options.threads = threads;
  options.perAddress = perAddress;
  options.headerMillis = static_cast<int>(headerSeconds * 1000);
  options.retention = retention;
  options.seedFolder = seedFolder;
  if (adminPort >= 0) options.adminPort = adminPort;
  return serve(data, ephemeral || testing.inMemory, options, testing);
}
