// The nb command as a user runs it, against a real nbserver: each case is a
// shell script (pipes, redirections, limits) run by bash with the command's
// environment, checked by its exit code, output and the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/platform/RunLoop.h"
#include "tests/faults/FaultServer.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/NbServerProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::cli {
namespace {

namespace fs = std::filesystem;

struct Shell {
  int code = -1;
  std::string out;
  std::string err;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class CommandEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new test::NbServerProcess();
    ASSERT_TRUE(server_->ok()) << server_->error();
    server_->setEnvironment();
    ASSERT_TRUE(server_->addUser("user@nimbus.test", "pw"));
    setenv("NB", NB_CLI_BINARY, 1);
    setenv("NB_KEYCHAIN", "file", 1);
    setenv("NB_DATA_HOME", (folder_->path() / "client").c_str(), 1);
    setenv("NB_HOME", (folder_->path() / "home").c_str(), 1);
    fs::create_directories(folder_->path() / "home");
    fs::create_directories(work());
    // Test data every case may use.
    ASSERT_EQ(sh("head -c 300000 /dev/urandom >big.bin && $NB put big.bin /big.bin && "
                 ": >empty.txt && $NB put empty.txt /empty.txt")
                  .code,
              0);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(sh("$NB login user@nimbus.test --password pw").code, 0); }

  static fs::path work() { return folder_->path() / "work"; }

  // Runs `script` with bash in the work folder; the first call signs in. Each
  // call has files of its own, so two threads may run scripts at once.
  static Shell sh(const std::string& script) {
    static bool signedIn = false;
    if (!signedIn) {
      signedIn = true;
      sh("$NB login user@nimbus.test --password pw");
    }
    static std::atomic<int> calls{0};
    const fs::path dir = folder_->path();
    const std::string n = std::to_string(++calls);
    const fs::path file = dir / ("script-" + n + ".sh");
    const fs::path out = dir / ("out-" + n);
    const fs::path err = dir / ("err-" + n);
    writeFile(file, "cd '" + work().string() + "' || exit 99\n" + script + "\n");
    const std::string command =
        "bash '" + file.string() + "' >'" + out.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(command.c_str());
    Shell result;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readFile(out);
    result.err = readFile(err);
    return result;
  }

  // Names in the work folder that a download left behind under a temporary name.
  static int partialFiles() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(work())) {
      if (entry.path().filename().string().find(".nb-") != std::string::npos) ++count;
    }
    return count;
  }

  static test::NbServerProcess* server_;
  static std::unique_ptr<test::TemporaryFolder> folder_;
};

test::NbServerProcess* CommandEndToEndTest::server_ = nullptr;
std::unique_ptr<test::TemporaryFolder> CommandEndToEndTest::folder_ =
    std::make_unique<test::TemporaryFolder>("nb-cli-e2e");

TEST_F(CommandEndToEndTest, GetNeverDamagesTheLocalFile) {
  writeFile(work() / "old.txt", "old\n");
  // The disk fills up (a file size limit stands in for it) part-way through.
  Shell r =
      sh("trap '' XFSZ; ulimit -f 64; $NB get /big.bin old.txt; echo rc=$? >&2; "
         "$NB get /big.bin fresh.bin");
  EXPECT_NE(r.err.find("rc=5"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("File too large"), std::string::npos) << "the real errno text: " << r.err;
  EXPECT_EQ(readFile(work() / "old.txt"), "old\n");
  EXPECT_FALSE(fs::exists(work() / "fresh.bin")) << "no partial file under the final name";
  EXPECT_EQ(partialFiles(), 0);

  r = sh("$NB get /big.bin - >/dev/full");
  EXPECT_EQ(r.code, 5);
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;

  r = sh("$NB get /missing.bin old.txt");
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(readFile(work() / "old.txt"), "old\n");

  // A read-only file is refused unless --force, which keeps its mode.
  writeFile(work() / "ro.txt", "keep\n");
  fs::permissions(work() / "ro.txt",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  r = sh("$NB get /big.bin ro.txt");
  EXPECT_EQ(r.code, 5);
  EXPECT_NE(r.err.find("read-only"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(work() / "ro.txt"), "keep\n");
  r = sh("$NB get /big.bin ro.txt --force >/dev/null && cmp ro.txt big.bin && stat -c %a ro.txt");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "444\n");
  EXPECT_EQ(partialFiles(), 0);
  // Nothing is staged under the home folder.
  EXPECT_FALSE(fs::exists(folder_->path() / "home" / "tmp"));
}

// With --secure (or NB_SECURE=1) every call goes over HTTPS: with the plain
// port unreachable, the session still works, upload node included.
TEST_F(CommandEndToEndTest, SecureCallsTravelOverTlsOnly) {
  const Shell r =
      sh("export NB_CONNECT_TO=$(tr ',' '\\n' <<<\"$NB_CONNECT_TO\" | grep ':443:' | paste -sd,); "
         "echo secret >s.txt && $NB --secure put --overwrite s.txt /secure.txt >/dev/null && "
         "NB_SECURE=1 $NB put --overwrite s.txt big.bin /secure/ >/dev/null && "
         "NB_SECURE=1 $NB get /secure.txt - && $NB info >/dev/null; echo plain=$?");
  EXPECT_EQ(r.out, "secret\nplain=4\n") << r.err;
}

TEST_F(CommandEndToEndTest, GetStreamsToStdoutAndRunsConcurrently) {
  Shell r = sh("$NB get /empty.txt - | wc -c");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "0\n");
  r = sh("$NB get /big.bin - | cmp - big.bin");
  EXPECT_EQ(r.code, 0) << r.err;
  // Two downloads of one remote file at once both succeed.
  r =
      sh("$NB get /big.bin a.bin & $NB get /big.bin b.bin; b=$?; wait $!; a=$?; "
         "[ $a = 0 ] && [ $b = 0 ] && cmp a.bin big.bin && cmp b.bin big.bin");
  EXPECT_EQ(r.code, 0) << r.err;
}

TEST_F(CommandEndToEndTest, PutReadsPipesProcFilesAndStdinToTheirEnd) {
  Shell r =
      sh("$NB put /proc/self/status /status >/dev/null && $NB get /status - | grep -c '^Name:'");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "1\n");
  r = sh("$NB put <(echo hi) /pipe.txt >/dev/null && $NB get /pipe.txt -");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "hi\n");
  r = sh("cat big.bin | $NB put - /stdin.bin && $NB get /stdin.bin - | cmp - big.bin");
  EXPECT_EQ(r.code, 0) << r.err;
  r =
      sh("$NB --json put big.bin /folder-put/ ; $NB mkdir /into && $NB put big.bin /into/ && "
         "$NB get /into/big.bin - | cmp - big.bin");
  EXPECT_EQ(r.code, 0) << r.err;
}

TEST_F(CommandEndToEndTest, RemovingAFolderWithContentsNeedsRecursive) {
  ASSERT_EQ(sh("$NB mkdir /tree && $NB mkdir /tree/sub && $NB put empty.txt /tree/sub/e && "
               "$NB mkdir /hollow")
                .code,
            0);
  Shell r = sh("$NB rm /tree");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("-r"), std::string::npos) << r.err;
  EXPECT_EQ(sh("$NB ls /tree/sub").code, 0) << "the tree is still there";
  r = sh("$NB rm /hollow && $NB rm -r /tree && ! $NB ls /tree");
  EXPECT_EQ(r.code, 0) << r.err;
}

TEST_F(CommandEndToEndTest, ListPagesThroughEverything) {
  // 1,001 folders, made in one go through the library's run loop.
  ASSERT_EQ(sh("$NB mkdir /many").code, 0);
  NBAPIInfo::instance().clearAuthInfo();  // reload the sign-in nb stored
  struct Counter : NBOperationDelegate {
    int done = 0, failed = 0;
    std::string lastFailure;
    void operationSuccess(NBOperation*, const NBResult&) override { ++done; }
    void operationFail(NBOperation*, const std::string& message) override {
      lastFailure = message;
      ++done;
      ++failed;
    }
  } counter;
  constexpr int kEntries = 1001;
  constexpr int kInFlight = 16;  // a loaded machine's server keeps up
  std::vector<std::shared_ptr<NBOperation>> operations;
  int started = 0;
  const auto startNext = [&] {
    while (started < kEntries && started - counter.done < kInFlight) {
      auto item = std::make_shared<NBFolderOperationItem>();
      item->root = "app";
      item->path = "/many/f" + std::to_string(started++);
      operations.push_back(std::make_shared<NBCreateFolderOperation>(&counter, item));
      operations.back()->executeOperation();
    }
  };
  startNext();
  RunLoop::current().runUntil(
      [&] {
        startNext();
        return counter.done == kEntries;
      },
      std::chrono::seconds(300));
  ASSERT_EQ(counter.done, kEntries);
  ASSERT_EQ(counter.failed, 0) << counter.lastFailure;

  Shell r = sh("$NB ls /many | wc -l");
  EXPECT_EQ(r.out, std::to_string(kEntries) + "\n") << r.err;
  // A walk reads both pages of the folder (the second asked beside the first).
  r = sh("$NB ls -R /many | wc -l");
  EXPECT_EQ(r.out, std::to_string(kEntries) + "\n") << r.err;
  r = sh("$NB --json ls /many");
  EXPECT_NE(r.out.find("\"total\":1001"), std::string::npos);
  EXPECT_NE(r.out.find("\"has_more\":false"), std::string::npos);
  r = sh("$NB --json ls /many --page-size 1000");
  EXPECT_NE(r.out.find("\"count\":1000"), std::string::npos);
  EXPECT_NE(r.out.find("\"has_more\":true"), std::string::npos);
  r = sh("$NB ls /many --page-size 1000 >/dev/null");
  EXPECT_NE(r.err.find("--page 1"), std::string::npos) << "a hint of more: " << r.err;
  r = sh("$NB --json ls /many --page 1 --page-size 1000");
  EXPECT_NE(r.out.find("\"count\":1,"), std::string::npos);
  EXPECT_NE(r.out.find("\"has_more\":false"), std::string::npos);
}

TEST_F(CommandEndToEndTest, SaysWhatItDid) {
  // A 32x24 image asked for in a 16x16 box comes back 16x12.
  Shell r = sh(R"(python3 - <<'PY'
import struct, zlib
w, h = 32, 24
rows = b"".join(b"\0" + bytes(3 * w) for y in range(h))
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
open("pic.png", "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
    + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
PY
$NB put pic.png /pic.png >/dev/null && $NB thumb /pic.png t.png --width 16 --height 16)");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("16x12"), std::string::npos) << r.out;

  // A copy reference printed alone feeds cp --ref.
  r =
      sh("$NB cp --ref \"$($NB copyref --quiet /big.bin)\" /ref-copy.bin && "
         "$NB get /ref-copy.bin - | cmp - big.bin && $NB share -q /big.bin");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.find("https://"), r.out.find("\n") + 1) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;  // "Copied ...", link

  // Another consumer than the signed-in one is refused, not ignored.
  r = sh("$NB --consumer-key bogus ls");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("consumer"), std::string::npos) << r.err;

  // Registering with a code given writes no image anywhere.
  fs::create_directories(work() / "tmp");
  r =
      sh("TMPDIR=$PWD/tmp $NB register new@nimbus.test --password pw --code "
         "\"$NB_DEV_VERIFICATION_CODE\" && ls tmp | wc -l");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "0\n") << r.out;
}

// The window sign-in runs in a program of its own; its failure comes back
// with its code and reason.
TEST_F(CommandEndToEndTest, AWindowSignInWithoutADisplayIsUnavailable) {
  const Shell r = sh("env -u DISPLAY -u WAYLAND_DISPLAY $NB --json login --window");
  EXPECT_EQ(r.code, 7) << r.out << r.err;
  EXPECT_NE(r.out.find("\"code\":\"unavailable\""), std::string::npos) << r.out;
  EXPECT_TRUE(r.out.find("display") != std::string::npos ||
              r.out.find("window support") != std::string::npos)
      << r.out;
}

TEST_F(CommandEndToEndTest, ARevokedTokenSaysToSignInAgain) {
  NBAPIInfo::instance().clearAuthInfo();
  const auto token = NBAPIInfo::instance().token();
  ASSERT_TRUE(token && token->token);
  ASSERT_EQ(
      server_->runCommand({"token", "revoke", "--data", server_->dataFolder(), *token->token}), 0);
  for (const char* command : {"$NB ls /", "$NB get /big.bin x.bin", "$NB put big.bin /x.bin"}) {
    const Shell r = sh(command);
    EXPECT_EQ(r.code, 3) << command << ": " << r.err;
    EXPECT_NE(r.err.find("nb login"), std::string::npos) << command << ": " << r.err;
  }
  const Shell json = sh("$NB --json info");
  EXPECT_NE(json.out.find("\"code\":\"not_signed_in\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"exit_code\":3"), std::string::npos) << json.out;
}

TEST_F(CommandEndToEndTest, FolderTreesRoundTripByteExact) {
  Shell r =
      sh("rm -rf tree back && mkdir -p tree/a/b tree/empty-folder 'tree/ünï cødé' && "
         ": >tree/a/empty.txt && echo deep >tree/a/b/deep.txt && "
         "echo 日本 >'tree/ünï cødé/naïve – file.txt' && "
         "head -c $((50 << 20)) /dev/urandom >tree/a/fifty.bin && "
         "ln -s a tree/link && mkfifo tree/pipe && "
         "$NB put -r --transfers 4 tree /tree-up && $NB get -r /tree-up back");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Uploaded 4 of 4 files"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("skipped tree/link: a symbolic link"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("skipped tree/pipe: a special file"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Downloaded 4 of 4 files"), std::string::npos) << r.out;
  r = sh("rm tree/link tree/pipe && diff -r tree back && echo same");
  EXPECT_EQ(r.out, "same\n") << r.out << r.err;
  r = sh("$NB ls -R /tree-up | sort");
  EXPECT_NE(r.out.find("d          -  empty-folder/"), std::string::npos) << r.out;
}

// A name as long as a folder can hold (255 bytes) comes down too, though its
// partial file needs a few more characters than the name.
TEST_F(CommandEndToEndTest, TheLongestNamesDownload) {
  const std::string name = std::string(246, 'n') + "\u00e9t\u00e9.txt";  // 255 bytes
  ASSERT_EQ(name.size(), 255u);
  Shell r = sh("rm -rf long long-back && mkdir long && echo x >long/" + name +
               " && $NB put -r long /long-up >/dev/null && $NB get -r /long-up long-back "
               ">/dev/null && $NB get /long-up/" +
               name + " one.txt >/dev/null && cat one.txt " + "long-back/" + name +
               " && ls -A long-back | wc -l");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "x\nx\n1\n") << "the file, and no partial file beside it";
  EXPECT_EQ(partialFiles(), 0);
}

TEST_F(CommandEndToEndTest, AFailedFileDoesNotStopTheOthers) {
  Shell r =
      sh("rm -rf some && mkdir some && echo 1 >some/one && echo 2 >some/two && "
         "echo 3 >some/three && $NB mkdir /some-up >/dev/null && $NB put some/two /some-up/two "
         ">/dev/null && "
         "$NB --json put -r some /some-up");
  EXPECT_EQ(r.code, 4) << r.out << r.err;
  EXPECT_NE(r.out.find("\"transferred\":2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"code\":\"exists\""), std::string::npos) << r.out;
  r = sh("$NB get /some-up/one - && $NB get /some-up/three -");
  EXPECT_EQ(r.out, "1\n3\n");
}

TEST_F(CommandEndToEndTest, SyncSendsOnlyWhatChangedAndDeletesOnlyWhatIsGone) {
  Shell r =
      sh("rm -rf s d && mkdir -p s/sub && echo a >s/a && echo b >s/sub/b && echo k >s/keep && "
         "$NB --json sync s nb:/sync");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\"transferred\":3"), std::string::npos) << r.out;
  r = sh("$NB --json sync s nb:/sync");
  EXPECT_NE(r.out.find("\"transferred\":0"), std::string::npos) << "nothing changed: " << r.out;
  // One file changes size, one is new, one is gone.
  r = sh(
      "echo changed >s/a && echo c >s/c && rm s/sub/b && $NB sync --dry-run --delete s nb:/sync");
  EXPECT_EQ(r.out, "put     s/a -> /sync/a\nput     s/c -> /sync/c\ndelete  /sync/sub/b\n");
  r = sh("$NB --json sync --delete s nb:/sync");
  EXPECT_NE(r.out.find("\"transferred\":2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"deleted\":[\"/sync/sub/b\"]"), std::string::npos) << r.out;
  r = sh("$NB ls -R nb:/sync");
  EXPECT_EQ(r.out.find("sub/b"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("keep"), std::string::npos) << r.out;
  // Down: a first copy, then nothing; a local extra goes only with --delete.
  r = sh(
      "$NB sync nb:/sync d >/dev/null && diff -r s d && $NB --json sync nb:/sync d && echo x "
      ">d/extra "
      "&& $NB sync nb:/sync d >/dev/null && ls d/extra && $NB sync --delete nb:/sync d >/dev/null "
      "&& ! ls d/extra");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\"transferred\":0"), std::string::npos) << r.out;
}

// What size and time cannot tell, the last run's memory does: an edit that
// keeps the size and the modification time to the nanosecond, an older copy
// put in place with cp -p, and a file dated in the future, sent once.
TEST_F(CommandEndToEndTest, SyncUpCatchesWhatSizeAndTimeMiss) {
  Shell r =
      sh("rm -rf m && mkdir m && echo aaa >m/a && echo bbb >m/b && echo fut >m/f && "
         "touch -d 2030-01-01 m/f && $NB sync m nb:/mem >/dev/null && "
         "touch -r m/a ref && echo AAA >m/a && touch -r ref m/a && "
         "echo zzz >old && touch -d 2020-01-01 old && cp -p old m/b && "
         "$NB sync --dry-run m nb:/mem");
  EXPECT_EQ(r.out, "put     m/a -> /mem/a\nput     m/b -> /mem/b\n") << r.err;
  r =
      sh("$NB sync m nb:/mem >/dev/null && $NB get /mem/a - && $NB get /mem/b - && "
         "$NB --json sync m nb:/mem");
  EXPECT_EQ(r.out.substr(0, 8), "AAA\nzzz\n") << r.err;
  EXPECT_NE(r.out.find("\"transferred\":0"), std::string::npos)
      << "the future file once: " << r.out;
}

// Down: a remote overwrite of the same size is fetched; a copy made by get -r
// takes the remote times, so neither sync nor a second get -r moves it again.
TEST_F(CommandEndToEndTest, SyncDownFetchesARemoteOverwriteAndGetCopiesStayCurrent) {
  Shell r =
      sh("rm -rf down g && mkdir down && echo one >down/a && echo two >down/b && "
         "$NB sync down nb:/down-src >/dev/null && $NB sync nb:/down-src dcopy >/dev/null && "
         "echo ONE >x && $NB put --overwrite x /down-src/a >/dev/null && "
         "$NB sync --dry-run nb:/down-src dcopy && $NB sync nb:/down-src dcopy >/dev/null && "
         "cat dcopy/a");
  EXPECT_EQ(r.out, "get     /down-src/a -> dcopy/a\nONE\n") << r.err;
  r =
      sh("$NB get -r /down-src g >/dev/null && $NB sync --dry-run g nb:/down-src && "
         "$NB --json get -r /down-src g");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.find("put "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("(nothing to do)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"transferred\":0"), std::string::npos) << r.out;
}

// A file replaced by a folder, and a folder by a file (with --delete, as it
// takes the folder's contents), in both directions; a deletion is listed in
// --json.
TEST_F(CommandEndToEndTest, SyncReplacesAFileByAFolderAndTheReverse) {
  Shell r =
      sh("rm -rf r rd && mkdir -p r/y && echo in >r/y/in && echo x >r/x && "
         "$NB sync r nb:/rep >/dev/null && $NB sync nb:/rep rd >/dev/null && "
         "rm -r r/y && echo y >r/y && rm r/x && mkdir r/x && echo inner >r/x/inner && "
         "$NB sync --delete r nb:/rep >/dev/null && $NB sync --dry-run r nb:/rep && "
         "$NB sync --delete nb:/rep rd >/dev/null && $NB sync --dry-run --delete nb:/rep rd && "
         "diff -r r rd && echo same");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "(nothing to do)\n(nothing to do)\nsame\n") << r.err;
  r = sh("rm r/y && $NB --json sync --delete r nb:/rep");
  EXPECT_NE(r.out.find("\"deleted\":[\"/rep/y\"]"), std::string::npos) << r.out;
}

// A crashed download's hidden partial file is never sent, and the next run
// down clears it.
TEST_F(CommandEndToEndTest, SyncNeverSendsPartialFilesAndClearsACrashedRunsOnes) {
  Shell r =
      sh("rm -rf p && mkdir p && echo a >p/a && $NB sync p nb:/part >/dev/null && "
         ": >p/.a.nb-Zz9Yx8 && $NB sync --dry-run p nb:/part && $NB sync nb:/part p >/dev/null && "
         "ls -A p");
  EXPECT_EQ(r.out, "(nothing to do)\na\n") << r.err;
}

// A sync down killed with SIGKILL while its partial files exist: a sync up
// of that folder never plans them, and the rerun down clears them and ends
// with the same files, its state intact.
TEST_F(CommandEndToEndTest, ASyncKilledMidRunLeavesNothingToSendAndARerunFinishes) {
  Shell r =
      sh("rm -rf kl kd && mkdir kl && for i in 1 2 3 4; do head -c $((8 << 20)) /dev/urandom "
         ">kl/f$i; done && $NB sync kl nb:/kill >/dev/null && "
         // Killed once its progress line shows bytes on their way (the reader
         // stays, so no write of the run meets a closed pipe first).
         "mkfifo kp && { $NB sync --progress --transfers 1 nb:/kill kd 2>kp >/dev/null & "
         "pid=$!; { head -c 200 >/dev/null; kill -9 $pid; cat >/dev/null; } <kp; wait $pid; "
         "rm kp; } ; "
         "$NB sync --dry-run kd nb:/kill | grep -c nb-; "
         "$NB sync nb:/kill kd >/dev/null && ls -A kd && diff -r kl kd && "
         "$NB sync --dry-run nb:/kill kd");
  EXPECT_EQ(r.out, "0\nf1\nf2\nf3\nf4\n(nothing to do)\n") << r.err;
}

// --track-renames: a renamed folder of 200 files is one server-side move and
// a file moved into a new folder another; nothing is sent again.
TEST_F(CommandEndToEndTest, SyncTracksRenamedFoldersAndFilesAsServerSideMoves) {
  Shell r =
      sh("rm -rf tr && mkdir -p tr/photos/sub && for i in $(seq 200); do echo \"file $i\" "
         ">tr/photos/p$i; done && echo s >tr/photos/sub/s && echo lone >tr/lone && "
         "$NB sync tr nb:/tr >/dev/null && mv tr/photos tr/pics && mkdir tr/dir && "
         "mv tr/lone tr/dir/alone && $NB sync --track-renames --delete --dry-run tr nb:/tr");
  EXPECT_EQ(r.out,
            "mkdir   /tr/dir\nmove    /tr/photos -> /tr/pics\nmove    /tr/lone -> "
            "/tr/dir/alone\n")
      << r.err;
  r =
      sh("$NB --json sync --track-renames --delete tr nb:/tr && $NB ls -R nb:/tr | wc -l && "
         "$NB get /tr/pics/p200 - && $NB sync --dry-run --delete tr nb:/tr");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\"transferred\":0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n205\nfile 200\n(nothing to do)\n"), std::string::npos) << r.out;
}

// An emptied source is refused; --backup-dir keeps every overwritten and
// deleted file, moved on the service into one dated folder.
TEST_F(CommandEndToEndTest, SyncRefusesToEmptyATargetAndKeepsWhatItReplaces) {
  Shell r =
      sh("rm -rf safe && mkdir safe && for i in $(seq 12); do echo $i >safe/f$i; done && "
         "$NB sync safe nb:/safe >/dev/null && rm safe/* && $NB sync --delete safe nb:/safe; "
         "echo rc=$? && $NB ls nb:/safe | wc -l");
  EXPECT_EQ(r.out, "rc=2\n12\n") << r.err;
  EXPECT_NE(r.err.find("refusing to delete 12 of the target's 12 files"), std::string::npos)
      << r.err;
  r =
      sh("echo changed >safe/f1 && "
         "$NB sync --delete --max-delete 100% --backup-dir nb:/bak safe nb:/safe >/dev/null && "
         "$NB get /safe/f1 - && $NB ls nb:/safe | wc -l && $NB ls -R nb:/bak | grep -c /f && "
         "$NB get \"/bak/$($NB ls nb:/bak | awk '{print $NF}' | tr -d /)/f1\" -");
  EXPECT_EQ(r.out, "changed\n1\n12\n1\n") << r.err;
  r = sh("$NB sync --backup-dir nb:/safe/old safe nb:/safe; echo rc=$?");
  EXPECT_NE(r.out.find("rc=2"), std::string::npos) << "a backup inside the target: " << r.err;
}

// --checksum compares by the hashes remembered from the transfers: nothing is
// fetched after a first sync; a copy with no hash remembered is fetched once.
TEST_F(CommandEndToEndTest, SyncChecksumFetchesOnlyWhatHasNoRememberedHash) {
  Shell r = sh(
      "rm -rf cs cg && mkdir cs && echo 1 >cs/a && echo 2 >cs/b && $NB sync cs nb:/cs >/dev/null "
      "&& $NB sync --checksum --dry-run cs nb:/cs && $NB --json sync --checksum cs nb:/cs");
  EXPECT_NE(r.out.find("(nothing to do)"), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find("\"transferred\":0"), std::string::npos) << r.out;
  r =
      sh("$NB get -r /cs cg >/dev/null && $NB sync --checksum --dry-run cg nb:/cs && "
         "$NB --json sync --checksum cg nb:/cs && $NB sync --checksum --dry-run cg nb:/cs");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("fetch   /cs/a (to compare; no hash remembered)\n"
                       "fetch   /cs/b (to compare; no hash remembered)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"transferred\":0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("(nothing to do)"), std::string::npos) << "hashes remembered: " << r.out;
}

// Filters apply alike to sync, put -r, get -r and ls -R; --dry-run says what they
// leave out and why; what is left out on the target is not deleted.
TEST_F(CommandEndToEndTest, FiltersLeaveOutTheSameEntriesEverywhere) {
  Shell r =
      sh("rm -rf ft ftg && mkdir -p ft/a ft/build && echo 1 >ft/a/x.log && echo 2 >ft/a/k.txt && "
         "echo 3 >ft/build/o && echo build/ >ft/.nbignore && echo '*.log' >ft/a/.nbignore && "
         "$NB sync --dry-run --exclude k.txt ft nb:/ft");
  EXPECT_EQ(r.out,
            "mkdir   /ft/a\n"
            "put     ft/.nbignore -> /ft/.nbignore\n"
            "put     ft/a/.nbignore -> /ft/a/.nbignore\n"
            "filter  a/k.txt: excluded by k.txt (--exclude)\n"
            "filter  a/x.log: excluded by *.log (a/.nbignore)\n"
            "filter  build: excluded by build/ (.nbignore)\n")
      << r.err;
  r =
      sh("$NB put -r --max-size 2 ft /ft >/dev/null && $NB ls -R nb:/ft && "
         "$NB sync --delete --exclude '*.txt' ft nb:/ft >/dev/null && $NB ls -R nb:/ft && "
         "$NB get -r --include '*.txt' /ft ftg >/dev/null && find ftg -type f && "
         "$NB ls -R --exclude '.*' nb:/ft");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "d          -  a/\n-        2 B  a/k.txt\n"
            "d          -  a/\n-        6 B  a/.nbignore\n-        2 B  a/k.txt\n"
            "-        7 B  .nbignore\n"
            "ftg/a/k.txt\n"
            "d          -  a/\n-        2 B  a/k.txt\n");
  r = sh("$NB sync --max-age 2x ft nb:/ft; echo rc=$?");
  EXPECT_NE(r.out.find("rc=2"), std::string::npos) << r.err;
}

TEST_F(CommandEndToEndTest, AServerKilledMidJobGivesASummaryAndARerunCompletes) {
  // Enough data that the job is still running when the server dies, even on a
  // quiet machine where the emulator takes several hundred MiB/s.
  ASSERT_EQ(sh("rm -rf load && mkdir load && for i in 1 2 3 4 5 6 7 8; do "
               "head -c $((32 << 20)) /dev/urandom >load/f$i; done")
                .code,
            0);
  Shell r;
  std::thread job([&] {
    r =
        sh("$NB get -r /nothing-yet x 2>/dev/null; "
           "$NB put -r --transfers 2 --retries 0 load /load-up");
  });
  // Kill the server once the job has created its remote folder, so that it
  // dies mid-upload however fast or slow this machine (or build) is.
  sh("for i in $(seq 600); do $NB ls /load-up >/dev/null 2>&1 && break; sleep 0.05; done");
  server_->stop(SIGKILL);
  job.join();
  ASSERT_TRUE(server_->restart());
  server_->setEnvironment();
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.out.find(" files ("), std::string::npos) << "a summary: " << r.out << r.err;
  r =
      sh("$NB put -r --overwrite load /load-up && $NB get -r /load-up load-back && "
         "diff -r load load-back && echo same");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("same"), std::string::npos);
  EXPECT_EQ(partialFiles(), 0);
}

// A remote side is written nb:PATH; a sync whose sides are not one local and
// one remote is refused before anything is read or written, whatever exists.
TEST_F(CommandEndToEndTest, SyncNeedsOneLocalAndOneMarkedRemoteSide) {
  ASSERT_EQ(sh("rm -rf amb && mkdir -p amb/backup amb/src && echo keep >amb/backup/precious.txt && "
               "echo s >amb/src/a.txt && $NB mkdir /proj >/dev/null && "
               "$NB put empty.txt /proj/e >/dev/null")
                .code,
            0);
  for (const char* command : {"$NB sync / ./backup --dry-run", "$NB sync --delete proj backup",
                              "$NB sync ./src ./src2", "$NB sync nb:/proj nb:/other",
                              "$NB put src/a.txt nb:/x nb:/y", "$NB get nb:/proj/e nb:e"}) {
    SCOPED_TRACE(command);
    const Shell r = sh(std::string("cd amb && ") + command);
    EXPECT_EQ(r.code, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("nb:"), std::string::npos) << "the fix is named: " << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(readFile(work() / "amb" / "backup" / "precious.txt"), "keep\n");
  EXPECT_FALSE(fs::exists(work() / "amb" / "backup" / "e"));
  EXPECT_EQ(sh("$NB ls /src2").code, 4) << "nothing went up";

  // The marker works wherever a remote path goes; put and get keep bare paths.
  const Shell r =
      sh("cd amb && $NB sync src nb:src2 >/dev/null && $NB sync nb:/src2 down >/dev/null && "
         "cat down/a.txt && $NB put src/a.txt nb:/marked.txt >/dev/null && "
         "$NB get nb:marked.txt - && $NB get /marked.txt - && $NB ls nb:/src2 | wc -l");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "s\ns\ns\n1\n");
}

// A folder that cannot be read leaves what is under it unknown: a sync then
// deletes nothing, still sends the rest, and fails with the reason.
TEST_F(CommandEndToEndTest, AFolderThatCannotBeListedCancelsEveryDeletion) {
  // root reads any folder; without these capabilities it reads as a user does.
  const std::string asUser =
      ::geteuid() == 0 ? "setpriv --bounding-set -dac_override,-dac_read_search " : "";
  ASSERT_EQ(sh("rm -rf lock && mkdir -p lock/locked && echo b >lock/locked/b.txt && "
               "echo c >lock/c.txt && $NB sync lock nb:/locktest >/dev/null")
                .code,
            0);
  Shell r = sh("chmod 000 lock/locked && rm lock/c.txt && echo n >lock/new.txt && " + asUser +
               "$NB sync --delete lock nb:/locktest; echo rc=$?; chmod 755 lock/locked");
  EXPECT_NE(r.out.find("rc=5"), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find("lock/locked: cannot read the folder: Permission denied"), std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("Deleting nothing"), std::string::npos) << r.err;
  r = sh("$NB ls -R /locktest | sort");
  EXPECT_NE(r.out.find("locked/b.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("c.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("new.txt"), std::string::npos) << "the other transfers go: " << r.out;

  r = sh("chmod 000 lock/locked && " + asUser + "$NB put -r lock /lockput; echo rc=$?; " +
         "chmod 755 lock/locked");
  EXPECT_NE(r.out.find("lock/locked: cannot read the folder"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("rc=5"), std::string::npos) << r.out;
}

TEST_F(CommandEndToEndTest, WalksStayOutOfPseudoFileSystemsAndOtherDevices) {
  Shell r = sh("$NB sync /proc nb:/proc-copy --dry-run");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "skip    /proc: a pseudo file system (proc), not walked\n");
  // A file system mounted below the walked folder, in a mount namespace of its own.
  r =
      sh("rm -rf mnt && mkdir -p mnt/disk && echo a >mnt/a && unshare -m bash -c 'mount -t tmpfs "
         "none mnt/disk && echo m >mnt/disk/m && $NB sync -x --dry-run mnt nb:/mnt && "
         "$NB put -r -x mnt nb:/mnt && $NB sync --dry-run mnt nb:/mnt'");
  if (r.err.find("mount") != std::string::npos && r.code != 0) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("skip    mnt/disk: on another file system (-x)"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("skipped mnt/disk: on another file system (-x)"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("put     mnt/disk/m -> /mnt/disk/m"), std::string::npos)
      << "without -x the mount is walked: " << r.out;
}

// Names the service refuses are passed over before anything is sent: never
// sent, failed and retried.
TEST_F(CommandEndToEndTest, UnstorableNamesAreSkippedBeforeSending) {
  const Shell r =
      sh("rm -rf odd && mkdir odd && echo ok >odd/ok.txt && echo x >$'odd/del\x7f' && "
         "echo x >$'odd/bad\xff' && echo x >'odd/back\\slash' && echo x >$'odd/esc\x1b[2J' && "
         "$NB put -r odd /odd-up && $NB sync odd nb:/odd-sync && $NB put $'odd/del\x7f' "
         "odd/ok.txt /odd-two/");
  EXPECT_EQ(r.code, 0) << r.err;
  const auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (auto at = r.out.find(text); at != std::string::npos; at = r.out.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("a name the service cannot store"), 4u + 4u + 1u) << r.out;
  EXPECT_EQ(count("Uploaded 1 of 1 files"), 3u) << r.out;
  EXPECT_EQ(r.err.find("internal"), std::string::npos) << r.err;
}

// A server that lists without end (a folder "x" in every folder, pages that
// never stop) gets an error, not a walk that runs and grows for ever; nothing
// is written.
TEST_F(CommandEndToEndTest, HostileListingsEndWithAClearError) {
  test::FaultServer faults({NBHosts::apiHost(), NBHosts::contentHost()});
  ASSERT_TRUE(faults.ok());
  struct Case {
    const char* fault;
    const char* command;
    const char* message;
  };
  const Case cases[] = {
      {"listing_loop", "get -r nb:/deep out", "deeper than 256 levels"},
      {"listing_loop", "ls -R nb:/same", "the listing loops: /same/x is the folder /same"},
      {"listing_loop", "sync nb:/same out", "the listing loops"},
      {"endless_pages", "ls /", "than asked for (at most 10000)"},
      {"endless_pages", "ls / --limit 2500", "than asked for (at most 2500)"},
      {"endless_pages", "get -r / out", "more than 100000 entries in /"},
      {"endless_pages", "sync nb:/wide out", "1500 entries of /wide in one page of at most 1000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const Shell r = sh("rm -rf out; NB_CONNECT_TO='" + faults.connectTo(c.fault) +
                       "' NB_CA_FILE='" + faults.caFile() + "' $NB " + c.command);
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(work() / "out"));
  }
}

// A link or a folder inside a download's target folder is never written
// through: its entries fail, the rest comes down, nothing outside changes.
TEST_F(CommandEndToEndTest, LinksAndFoldersInsideATargetAreNeverWrittenThrough) {
  ASSERT_EQ(sh("rm -rf ls && mkdir -p ls/sub && echo x >ls/sub/x.txt && echo new >ls/link.txt && "
               "echo f >ls/x && echo ok >ls/ok.txt && $NB put -r --overwrite ls /links >/dev/null")
                .code,
            0);
  for (const char* command : {"$NB get -r /links tgt", "$NB sync nb:/links tgt"}) {
    Shell r = sh(std::string("rm -rf tgt elsewhere && mkdir -p tgt/x elsewhere && "
                             "echo victim >elsewhere/victim.txt && ln -s $PWD/elsewhere tgt/sub && "
                             "ln -s $PWD/elsewhere/victim.txt tgt/link.txt && ") +
                 command);
    EXPECT_EQ(r.code, 5) << command << ": " << r.out << r.err;
    EXPECT_NE(r.out.find("/links/x: cannot write tgt/x: a folder is in the way"), std::string::npos)
        << command << ": " << r.out;
    EXPECT_NE(
        r.out.find("/links/link.txt: cannot write tgt/link.txt: a symbolic link is in the way"),
        std::string::npos)
        << command << ": " << r.out;
    EXPECT_NE(r.out.find("/links/sub/x.txt: cannot write in tgt/sub: a symbolic link"),
              std::string::npos)
        << command << ": " << r.out;
    r = sh("ls -A elsewhere tgt/x && cat elsewhere/victim.txt tgt/ok.txt && readlink tgt/sub");
    EXPECT_EQ(r.out, "elsewhere:\nvictim.txt\n\ntgt/x:\nvictim\nok\n" +
                         (work() / "elsewhere").string() + "\n")
        << command;
  }
  // The target named on the command line may be a link: the user chose it.
  // A single file into an existing folder goes inside it.
  Shell r =
      sh("rm -rf real named && mkdir real && ln -s real named && $NB get -r /links named "
         ">/dev/null && cat real/sub/x.txt && mkdir -p into && $NB get /links/x into >/dev/null "
         "&& cat into/x");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "x\nf\n");
}

// Partial files a crashed run left beside its targets are cleared by the
// next download of those targets.
TEST_F(CommandEndToEndTest, ACrashedRunsPartialFilesAreCleared) {
  Shell r =
      sh("rm -rf crash && mkdir crash && echo 1 >crash/one && $NB put -r --overwrite crash "
         "/crash >/dev/null && rm -rf crash && mkdir crash && "
         ": >.big.bin.nb-Crash1 && : >crash/.one.nb-Crash2 && "
         "$NB get /big.bin big.bin >/dev/null && $NB get -r /crash crash >/dev/null && "
         "ls -A crash");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "one\n");
  EXPECT_EQ(partialFiles(), 0);
}

TEST_F(CommandEndToEndTest, AResultThatCannotBeWrittenIsALocalFailure) {
  for (const char* command :
       {"$NB info >&-", "$NB ls / >/dev/full", "$NB copyref --quiet /big.bin >/dev/full",
        "$NB --json ls / >/dev/full"}) {
    const Shell r = sh(command);
    EXPECT_EQ(r.code, 5) << command;
    EXPECT_NE(r.err.find("nb: cannot write the output: "), std::string::npos) << command << r.err;
  }
}

TEST_F(CommandEndToEndTest, SigningInNarrowsAnOpenKeychainAndItsFolder) {
  const std::string data = (folder_->path() / "client").string();
  const Shell r = sh("chmod 755 '" + data + "' && chmod 644 '" + data +
                     "/keychain.db' && $NB --json login user@nimbus.test --password pw >/dev/null "
                     "&& stat -c %a '" +
                     data + "' '" + data + "/keychain.db'");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "700\n600\n");
  EXPECT_NE(r.err.find("nb: " + data + " was open to other users (0755; it is now 0700)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("keychain.db was open to other users (0644; it is now 0600)"),
            std::string::npos)
      << r.err;
}

// The process that holds the secrets leaves no core dump when it crashes.
TEST_F(CommandEndToEndTest, ACrashLeavesNoCoreDump) {
  // Crashed once its first byte of output shows it at work (its secrets
  // read), then blocked writing to a pipe that is read no further.
  const char* crash =
      "rm -rf cores && mkdir cores && cd cores && ulimit -c unlimited && mkfifo p && "
      "{ %s >p & pid=$!; exec 3<p; head -c 1 <&3 >/dev/null; kill -SEGV $pid; wait $pid; "
      "exec 3<&-; } ; rm p; ls | wc -l";
  char control[512], command[512];
  std::snprintf(control, sizeof control, crash, "yes");
  if (sh(control).out != "1\n") GTEST_SKIP() << "this machine writes no core files";
  std::snprintf(command, sizeof command, crash, "$NB get /big.bin -");
  EXPECT_EQ(sh(command).out, "0\n");
}

// Names, the user name and messages from a hostile server reach the
// terminal escaped: nothing clears the screen, sets the title or forges lines.
TEST_F(CommandEndToEndTest, AServersControlCharactersReachTheTerminalEscaped) {
  test::HttpTestServer hostile;
  const std::string evil = R"(a\u001b[2J\u001b]0;title\u0007\rFORGED\nnb: line\u0000)";
  hostile.server.Get(R"(/1/metadata/.*)", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"name":"h","type":"folder","files":[{"name":")" + evil +
                        R"(","type":"file","size":1}]})",
                    "application/json");
  });
  hostile.server.Get("/1/account_info", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"user_name":")" + evil + R"(","quota_total":1,"quota_used":0})",
                    "application/json");
  });
  hostile.server.Get("/1/fileops/.*", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"code":"bad","msg":")" + evil + R"("})", "application/json");
  });
  const std::string route =
      "NB_CONNECT_TO=api.nimbus.test:80:127.0.0.1:" + std::to_string(hostile.port()) + " ";
  // The recursive walk skips such a name; the others show it escaped.
  for (const auto& [command, shown] :
       {std::pair{"$NB ls /h", true}, std::pair{"$NB ls -R /h", false}, std::pair{"$NB info", true},
        std::pair{"$NB mkdir /h/x", true}}) {
    const Shell r = sh(route + command);
    const std::string all = r.out + r.err;
    EXPECT_EQ(all.find_first_of(std::string("\x1b\x07\r\0", 4)), std::string::npos)
        << command << all;
    EXPECT_EQ(all.find("\nnb: line"), std::string::npos) << command << all;
    if (shown) {
      EXPECT_NE(all.find(R"(a\x1b[2J\x1b]0;title\x07\rFORGED\nnb: line\0)"), std::string::npos)
          << command << ": " << all;
    }
  }
}

}  // namespace
}  // namespace nb::cli
