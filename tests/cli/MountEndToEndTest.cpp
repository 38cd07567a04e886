// nb mount under the kernel's FUSE against a real nbserver: ordinary shell
// tools work in the mount, and every byte written there ends up on the server
// (checked with nb get) across unmounts, kills and outages. Skipped, saying
// why, where /dev/fuse or fusermount3 is missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/NbServerProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::cli {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Shell {
  int code = -1;
  std::string out;  // stdout and stderr
};

// Runs `script` with bash in `folder`.
Shell sh(const fs::path& folder, const std::string& script) {
  const std::string command = "cd '" + folder.string() + "' && { " + script + "\n} 2>&1";
  Shell result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.out.append(buffer, n);
  const int status = ::pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool mounted(const fs::path& mountpoint) {
  std::ifstream mounts("/proc/self/mounts");
  for (std::string line; std::getline(mounts, line);) {
    if (line.find(" " + mountpoint.string() + " fuse.nb ") != std::string::npos) return true;
  }
  return false;
}

// One `nb mount` process, its output in a file.
class Mount {
 public:
  Mount(const fs::path& work, const std::string& remote, const fs::path& mountpoint,
        const std::vector<std::string>& extra = {})
      : mountpoint_(mountpoint), log_(work / ("mount-" + std::to_string(++count_) + ".log")) {
    fs::create_directories(mountpoint);
    pid_ = ::fork();
    if (pid_ == 0) {
      std::freopen(log_.c_str(), "w", stdout);
      ::dup2(STDOUT_FILENO, STDERR_FILENO);
      std::vector<std::string> args = {NB_CLI_BINARY, "mount", remote, mountpoint.string()};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(NB_CLI_BINARY, argv.data());
      ::_exit(127);
    }
    waitUntilMountedOrEnded();
  }
  ~Mount() {
    if (running()) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    std::system(("fusermount3 -u -z '" + mountpoint_.string() + "' 2>/dev/null").c_str());
  }
  bool ok() { return mounted(mountpoint_); }
  bool running() {
    if (exited_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) record(status);
    return !exited_;
  }
  void signal(int number) { ::kill(pid_, number); }
  // The exit code once the process has ended.
  int wait() {
    int status = 0;
    if (!exited_ && ::waitpid(pid_, &status, 0) == pid_) record(status);
    return code_;
  }
  std::string log() const {
    std::ifstream in(log_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  void record(int status) {
    exited_ = true;
    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // Sleeps until the kernel reports a change of the mount table (a poll on
  // mountinfo wakes at each one) or the process's end (its pidfd), then looks
  // again; gives up after 10 s.
  void waitUntilMountedOrEnded() {
    const int table = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    const int process = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!mounted(mountpoint_) && running() && std::chrono::steady_clock::now() < deadline) {
      pollfd events[2] = {{table, POLLPRI, 0}, {process, POLLIN, 0}};
      ::poll(events, 2, 1000);
      char drain[4096];  // reading the table to its end re-arms its change event
      ::lseek(table, 0, SEEK_SET);
      while (::read(table, drain, sizeof drain) > 0) {
      }
    }
    ::close(table);
    ::close(process);
  }

  static inline int count_ = 0;
  fs::path mountpoint_;
  fs::path log_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
};

class MountEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!fuseReason().empty()) return;
    server_ = std::make_unique<test::NbServerProcess>();
    ASSERT_TRUE(server_->ok()) << server_->error();
    server_->setEnvironment();
    ASSERT_TRUE(server_->addUser("user@nimbus.test", "pw"));
    const fs::path top = folder_->path();
    setenv("NB", NB_CLI_BINARY, 1);
    setenv("NB_KEYCHAIN", "file", 1);
    setenv("NB_DATA_HOME", (top / "client").c_str(), 1);
    setenv("NB_HOME", (top / "home").c_str(), 1);
    setenv("XDG_CACHE_HOME", (top / "cache").c_str(), 1);
    fs::create_directories(top / "home");
    ASSERT_EQ(sh(top, "$NB login user@nimbus.test --password pw").code, 0);
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    if (const std::string reason = fuseReason(); !reason.empty()) GTEST_SKIP() << reason;
    // Each case has a remote folder and a local work folder of its own.
    name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    work_ = folder_->path() / name_;
    fs::create_directories(work_);
    ASSERT_EQ(run("$NB mkdir nb:/" + name_).code, 0);
  }

  // Why the mount cannot be tested here, or "".
  static std::string fuseReason() {
    if (!fs::exists("/dev/fuse")) return "no /dev/fuse on this machine";
    if (std::system("command -v fusermount3 >/dev/null") != 0)
      return "fusermount3 is not installed";
    return "";
  }

  Shell run(const std::string& script) const { return sh(work_, script); }
  std::string remote() const { return "nb:/" + name_; }
  fs::path mountpoint() const { return work_ / "mnt"; }

  static std::unique_ptr<test::NbServerProcess> server_;
  static std::unique_ptr<test::TemporaryFolder> folder_;
  std::string name_;
  fs::path work_;
};

std::unique_ptr<test::NbServerProcess> MountEndToEndTest::server_;
std::unique_ptr<test::TemporaryFolder> MountEndToEndTest::folder_ =
    std::make_unique<test::TemporaryFolder>("nb-mount-e2e");

TEST_F(MountEndToEndTest, ShellToolsWorkAndEveryByteIsStoredByUnmount) {
  Mount mount(work_, remote(), mountpoint());
  ASSERT_TRUE(mount.ok()) << mount.log();
  // A source tree: nested folders, an empty file, a binary file of some size.
  ASSERT_EQ(run("mkdir -p src/a/b src/c && echo one >src/a/one.txt && : >src/c/empty && "
                "head -c 2000000 /dev/urandom >src/a/b/blob.bin && "
                "for i in $(seq 1 30); do echo line $i >src/c/f$i.txt; done")
                .code,
            0);
  Shell r =
      run("cp -r src mnt/tree && diff -r src mnt/tree && "
          "echo hello >mnt/note.txt && echo more >>mnt/note.txt && cat mnt/note.txt && "
          "mv mnt/note.txt mnt/tree/renamed.txt && mv mnt/tree/c mnt/tree/moved && "
          "rm mnt/tree/moved/f1.txt && truncate -s 2 mnt/tree/a/one.txt && ls mnt/tree");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, "hello\nmore\na\nmoved\nrenamed.txt\n");

  r = run("rmdir mnt/tree/moved; mkdir mnt/gone && rmdir mnt/gone && ls mnt");
  EXPECT_NE(r.out.find("Directory not empty"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\ntree\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("gone"), std::string::npos) << r.out;

  // Unmounting returns once every file is on the server.
  r = run("$NB unmount mnt");
  ASSERT_EQ(r.code, 0) << r.out << mount.log();
  EXPECT_EQ(mount.wait(), 0) << mount.log();
  r = run("$NB get -r " + remote() +
          "/tree got && "
          "printf 'hello\\nmore\\n' >expect.txt && cmp got/renamed.txt expect.txt && "
          "cmp got/a/b/blob.bin src/a/b/blob.bin && printf on | cmp - got/a/one.txt && "
          "rm src/c/f1.txt && diff -r src/c got/moved && ls got && $NB ls " +
          remote());
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out.find("note.txt"), std::string::npos) << "renamed away: " << r.out;
}

TEST_F(MountEndToEndTest, ATarOf2000FilesAndAGitCommitInsideTheMount) {
  Mount mount(work_, remote(), mountpoint());
  ASSERT_TRUE(mount.ok()) << mount.log();
  ASSERT_EQ(run("mkdir src && cd src && for d in $(seq 1 20); do mkdir d$d; "
                "for f in $(seq 1 100); do echo \"$d $f $RANDOM\" >d$d/f$f.c; done; done && "
                "tar cf ../src.tar .")
                .code,
            0);
  Shell r =
      run("tar -xf src.tar -C mnt && diff -r src mnt && cd mnt && git init -q . && "
          "git add -A && git -c user.email=a@b.c -c user.name=n commit -qm tree && "
          "git status --short && git fsck --no-progress");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(run("$NB unmount mnt").code, 0) << mount.log();
  r = run("$NB get -r " + remote() +
          " got && diff -r src got -x .git && "
          "git -C got log --format=%s && git -C got status --short");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out.substr(r.out.find("tree\n")), "tree\n") << r.out;
}

TEST_F(MountEndToEndTest, KilledMountLeavesItsQueueForTheNextMount) {
  {
    Mount mount(work_, remote(), mountpoint(), {"--write-back", "1h"});
    ASSERT_TRUE(mount.ok()) << mount.log();
    // Closed files are queued on disk; one more is being written at the kill.
    ASSERT_EQ(run("for i in $(seq 1 20); do head -c $((i * 1000)) /dev/urandom >src$i; "
                  "cp src$i mnt/f$i; done")
                  .code,
              0);
    run("(head -c 50000000 /dev/zero >mnt/partial 2>/dev/null &) ; sleep 0.2");
    mount.signal(SIGKILL);
    EXPECT_EQ(mount.wait(), 128 + SIGKILL);
  }
  Shell r = run("$NB mount --status mnt");
  EXPECT_NE(r.out.find("pending  /f20"), std::string::npos) << r.out;

  Mount again(work_, remote(), mountpoint());
  ASSERT_TRUE(again.ok()) << again.log();
  again.signal(SIGTERM);  // waits for the queue, as an unmount does
  EXPECT_EQ(again.wait(), 0) << again.log();
  r = run("$NB get -r " + remote() +
          " got && for i in $(seq 1 20); do cmp src$i got/f$i || exit 1; done");
  EXPECT_EQ(r.code, 0) << r.out;
}

TEST_F(MountEndToEndTest, ErrorsAsTheKernelExpects) {
  Mount mount(work_, remote(), mountpoint());
  ASSERT_TRUE(mount.ok()) << mount.log();
  const struct {
    const char* script;
    const char* error;
  } cases[] = {
      {"cat mnt/missing", "No such file or directory"},
      {"touch 'mnt/back\\slash'", "Invalid argument"},
      {"mkdir 'mnt/back\\slash'", "Invalid argument"},
      {"mkdir mnt/d && touch mnt/d/x && rmdir mnt/d", "Directory not empty"},
      {"mkdir mnt/e && echo x >mnt/f && mv mnt/f mnt/e", ""},
  };
  for (const auto& c : cases) {
    const Shell r = run(c.script);
    if (*c.error == '\0') {
      EXPECT_EQ(r.code, 0) << c.script << ": " << r.out;
    } else {
      EXPECT_NE(r.out.find(c.error), std::string::npos) << c.script << ": " << r.out;
    }
  }
}

TEST_F(MountEndToEndTest, AHungServerGivesEioAfterTheTimeOutAndPendingFilesLandLater) {
  Mount mount(work_, remote(), mountpoint(), {"--write-back", "0s", "--timeout", "2"});
  ASSERT_TRUE(mount.ok()) << mount.log();
  ASSERT_EQ(run("mkdir mnt/sub && ls mnt").code, 0);
  ::kill(server_->pid(), SIGSTOP);
  const auto start = std::chrono::steady_clock::now();
  Shell r = run("ls mnt/sub");
  const auto waited = std::chrono::steady_clock::now() - start;
  // A new file needs no call: it is written to the cache and queued.
  Shell written = run("echo written >mnt/during.txt && sleep 3 && $NB mount --status mnt");
  ::kill(server_->pid(), SIGCONT);
  EXPECT_NE(r.out.find("Input/output error"), std::string::npos) << r.out;
  EXPECT_LT(waited, 20s) << "the calling program waits no longer than the time-out";
  EXPECT_EQ(written.code, 0) << written.out;
  EXPECT_NE(written.out.find("failed   /during.txt"), std::string::npos) << written.out;

  r = run("$NB unmount mnt && $NB get " + remote() + "/during.txt -");
  EXPECT_EQ(r.code, 0) << r.out << mount.log();
  EXPECT_NE(r.out.find("written\n"), std::string::npos) << r.out << mount.log();
}

TEST_F(MountEndToEndTest, ASignalWaitsForTheQueueAndASecondLeavesItForTheNextMount) {
  Mount mount(work_, remote(), mountpoint(), {"--write-back", "0s", "--timeout", "2"});
  ASSERT_TRUE(mount.ok()) << mount.log();
  ASSERT_EQ(run("ls mnt").code, 0);  // the listing a new name is looked up in
  ::kill(server_->pid(), SIGSTOP);   // uploads hang until their time-out, again and again
  ASSERT_EQ(run("echo queued-bytes >mnt/w.txt").code, 0);
  mount.signal(SIGTERM);
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(mount.running()) << "the first signal waits for the queue: " << mount.log();
  mount.signal(SIGTERM);
  const int code = mount.wait();
  ::kill(server_->pid(), SIGCONT);
  EXPECT_EQ(code, 130) << mount.log();
  EXPECT_NE(mount.log().find("the next mount of this folder stores them"), std::string::npos)
      << mount.log();
  EXPECT_NE(run("$NB mount --status mnt").out.find("/w.txt"), std::string::npos);

  Mount again(work_, remote(), mountpoint());
  ASSERT_TRUE(again.ok()) << again.log();
  const Shell r = run("$NB unmount mnt && $NB get " + remote() + "/w.txt - 2>/dev/null");
  EXPECT_EQ(r.out.substr(r.out.find("queued-bytes")), "queued-bytes\n") << r.out << again.log();
}

TEST_F(MountEndToEndTest, AChangeMadeElsewhereMeanwhileKeepsBothVersions) {
  Mount mount(work_, remote(), mountpoint(), {"--write-back", "0s"});
  ASSERT_TRUE(mount.ok()) << mount.log();
  ASSERT_EQ(run("echo first >mnt/f.txt && cat mnt/f.txt && echo theirs >theirs.txt && "
                "until $NB ls " +
                remote() +
                "/f.txt >/dev/null 2>&1; do sleep 0.1; done && "
                "$NB put theirs.txt " +
                remote() + "/f.txt --overwrite && echo mine >>mnt/f.txt")
                .code,
            0);
  ASSERT_EQ(run("$NB unmount mnt").code, 0) << mount.log();
  EXPECT_EQ(run("$NB get " + remote() + "/f.txt - 2>/dev/null").out, "theirs\n");
  const Shell r =
      run("$NB get -r " + remote() + " got >/dev/null && cat got/f\\ \\(conflict*\\).txt");
  EXPECT_EQ(r.out, "first\nmine\n");
  EXPECT_NE(mount.log().find("changed on the service"), std::string::npos) << mount.log();
}

TEST_F(MountEndToEndTest, TheCacheLimitDropsOnlyStoredCopiesLeastRecentlyUsedFirst) {
  const std::vector<std::string> options = {"--cache-dir", (work_ / "cache").string(),
                                            "--cache-max-size", "100K"};
  const std::string cacheBytes = "du -sb --apparent-size cache/files | cut -f1";
  {
    std::vector<std::string> waiting = options;
    waiting.insert(waiting.end(), {"--write-back", "1h"});
    Mount mount(work_, remote(), mountpoint(), waiting);
    ASSERT_TRUE(mount.ok()) << mount.log();
    // Files not stored yet stay, whatever the limit.
    Shell r = run("for i in 1 2 3; do head -c 60000 /dev/urandom >src$i; cp src$i mnt/f$i; done; " +
                  cacheBytes);
    EXPECT_GE(std::stoll(r.out), 180000) << r.out;
    ASSERT_EQ(run("$NB unmount mnt").code, 0) << mount.log();
  }
  Mount mount(work_, remote(), mountpoint(), options);
  ASSERT_TRUE(mount.ok()) << mount.log();
  Shell r = run("for i in 1 2 3 1 2 3; do cmp src$i mnt/f$i || exit 1; done; " + cacheBytes);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_LE(std::stoll(r.out), 100 * 1024) << r.out;
  EXPECT_EQ(run("test -e cache/files/f3 && ! test -e cache/files/f2 && echo kept-latest").out,
            "kept-latest\n");
}

TEST_F(MountEndToEndTest, WritesPastTheQuotaOrTheLargestFileAreRefused) {
  // An account of its own: 300 kB of quota, files of at most 200 kB.
  ASSERT_TRUE(server_->addUser("small@nimbus.test", "pw",
                               {"--quota", "300000", "--max-file-size", "200000"}));
  const std::string home = (work_ / "small").string();
  setenv("NB_DATA_HOME", home.c_str(), 1);
  Shell r = run("$NB login small@nimbus.test --password pw");
  ASSERT_EQ(r.code, 0) << r.out;
  Shell tooLarge, overQuota;
  {
    Mount mount(work_, "nb:/", mountpoint(), {"--write-back", "0s"});
    ASSERT_TRUE(mount.ok()) << mount.log();
    tooLarge = run("head -c 250000 /dev/zero >mnt/too-large; rm mnt/too-large");
    // Once 150 kB are stored, 160 kB more do not fit.
    overQuota =
        run("head -c 150000 /dev/zero >mnt/a && "
            "until $NB ls nb:/a >/dev/null 2>&1; do sleep 0.1; done; sleep 0.5; "
            "head -c 160000 /dev/zero >mnt/b; rm mnt/b; $NB unmount mnt");
    EXPECT_EQ(mount.wait(), 0) << mount.log();
  }
  setenv("NB_DATA_HOME", (folder_->path() / "client").c_str(), 1);
  EXPECT_NE(tooLarge.out.find("File too large"), std::string::npos) << tooLarge.out;
  EXPECT_NE(overQuota.out.find("Disk quota exceeded"), std::string::npos) << overQuota.out;
}

TEST_F(MountEndToEndTest, TwoMountsSeeEachOthersChangesAfterTheListingTime) {
  Mount first(work_, remote(), work_ / "one",
              {"--write-back", "0s", "--cache-dir", (work_ / "c1").string()});
  Mount second(work_, remote(), work_ / "two",
               {"--dir-cache-time", "1s", "--cache-dir", (work_ / "c2").string()});
  ASSERT_TRUE(first.ok() && second.ok()) << first.log() << second.log();
  ASSERT_EQ(run("ls two && echo shared >one/shared.txt").code, 0);
  Shell r;
  for (int i = 0; i < 100 && r.out != "shared\n"; ++i) {
    std::this_thread::sleep_for(100ms);
    r = run("cat two/shared.txt 2>/dev/null");
  }
  EXPECT_EQ(r.out, "shared\n");
}

TEST_F(MountEndToEndTest, DaemonReturnsOnceMountedAndUnmountWaitsForIt) {
  Shell r = run("mkdir -p mnt && $NB mount --daemon " + remote() +
                " mnt --cache-dir cache && echo daemon >mnt/d.txt && $NB unmount mnt && "
                "$NB get " +
                remote() + "/d.txt - 2>/dev/null");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out.substr(r.out.rfind("daemon")), "daemon\n") << r.out;
  EXPECT_FALSE(mounted(mountpoint()));
  r = run("$NB mount --daemon " + remote() + " missing-folder --cache-dir cache");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.out.find("not a folder"), std::string::npos) << r.out;
}

TEST_F(MountEndToEndTest, RefusesToStartWhenNotSignedIn) {
  const Shell r = run("mkdir -p mnt && NB_DATA_HOME=$PWD/nobody $NB mount " + remote() + " mnt");
  EXPECT_EQ(r.code, 3) << r.out;
  EXPECT_FALSE(mounted(mountpoint()));
}

}  // namespace
}  // namespace nb::cli
