#include "cli/mount/FuseSession.h"

#define FUSE_USE_VERSION 312
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "cli/mount/MountFileSystem.h"

namespace nb::cli::mount {
namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
// Sent to the main thread to wake the session's wait after an interrupt
// landed on another thread.
constexpr int kWake = SIGUSR2;

std::atomic<int> gSignals{0};
std::atomic<struct fuse_session*> gSession{nullptr};
pthread_t gMainThread;

extern "C" void onMountInterrupt(int) {
  if (gSignals.fetch_add(1) == 0) {
    if (struct fuse_session* session = gSession.load()) fuse_session_exit(session);
    if (!pthread_equal(pthread_self(), gMainThread)) pthread_kill(gMainThread, kWake);
  }
}

extern "C" void onMountWake(int) {}

void installHandlers() {
  gMainThread = pthread_self();
  struct sigaction action {};
  action.sa_handler = onMountInterrupt;
  for (const int signal : kInterrupts) ::sigaction(signal, &action, nullptr);
  action.sa_handler = onMountWake;
  ::sigaction(kWake, &action, nullptr);
}

MountFileSystem& fileSystem() {
  return *static_cast<MountFileSystem*>(fuse_get_context()->private_data);
}

// The trampolines: each calls the one member function it stands for.

void* init(struct fuse_conn_info*, struct fuse_config* config) {
  // The listings are ours to cache; the kernel asks again after a second.
  config->entry_timeout = 1;
  config->attr_timeout = 1;
  config->negative_timeout = 0;
  return fuse_get_context()->private_data;
}

int getattr(const char* path, struct stat* info, struct fuse_file_info*) {
  return fileSystem().getattr(path, info);
}

int readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
            enum fuse_readdir_flags) {
  std::vector<std::pair<std::string, struct stat>> entries;
  if (int error = fileSystem().readdir(path, &entries); error != 0) return error;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (const auto& [name, info] : entries) {
    if (fill(buffer, name.c_str(), &info, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
  }
  return 0;
}

int open(const char* path, struct fuse_file_info* file) {
  bool keepCache = false;
  const int error = fileSystem().open(path, file->flags, &file->fh, &keepCache);
  file->keep_cache = keepCache ? 1 : 0;
  return error;
}

int create(const char* path, mode_t mode, struct fuse_file_info* file) {
  return fileSystem().create(path, mode, file->flags, &file->fh);
}

int read(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info* file) {
  return fileSystem().read(file->fh, buffer, size, offset);
}

int write(const char*, const char* buffer, size_t size, off_t offset, struct fuse_file_info* file) {
  return fileSystem().write(file->fh, buffer, size, offset);
}

int truncate(const char* path, off_t size, struct fuse_file_info* file) {
  return fileSystem().truncate(path, size, file != nullptr ? &file->fh : nullptr);
}

int release(const char*, struct fuse_file_info* file) { return fileSystem().release(file->fh); }

int utimens(const char* path, const struct timespec times[2], struct fuse_file_info*) {
  return fileSystem().utimens(path, times);
}

int mkdir(const char* path, mode_t) { return fileSystem().mkdir(path); }
int rmdir(const char* path) { return fileSystem().rmdir(path); }
int unlink(const char* path) { return fileSystem().unlink(path); }

int rename(const char* from, const char* to, unsigned int flags) {
  if ((flags & ~RENAME_NOREPLACE) != 0) return -EINVAL;  // no exchange
  return fileSystem().rename(from, to, (flags & RENAME_NOREPLACE) != 0);
}

int statfs(const char*, struct statvfs* info) { return fileSystem().statfs(info); }

// Owners and modes are the mount's own; changing them is accepted and has no
// effect, so that tools which set them (tar, cp -p) succeed.
int chmod(const char* path, mode_t, struct fuse_file_info*) {
  struct stat info {};
  return fileSystem().getattr(path, &info);
}
int chown(const char* path, uid_t, gid_t, struct fuse_file_info*) {
  struct stat info {};
  return fileSystem().getattr(path, &info);
}
int flush(const char*, struct fuse_file_info*) { return 0; }
int fsync(const char*, int, struct fuse_file_info*) { return 0; }

struct fuse_operations operations() {
  struct fuse_operations ops {};
  ops.init = init;
  ops.getattr = getattr;
  ops.readdir = readdir;
  ops.open = open;
  ops.create = create;
  ops.read = read;
  ops.write = write;
  ops.truncate = truncate;
  ops.release = release;
  ops.utimens = utimens;
  ops.mkdir = mkdir;
  ops.rmdir = rmdir;
  ops.unlink = unlink;
  ops.rename = rename;
  ops.statfs = statfs;
  ops.chmod = chmod;
  ops.chown = chown;
  ops.flush = flush;
  ops.fsync = fsync;
  return ops;
}

}  // namespace

Status FuseSession::run(MountFileSystem& fs, const std::string& mountpoint,
                        const std::string& name) {
  const std::string options = "-ofsname=" + name + ",subtype=nb";
  std::vector<const char*> argv = {"nb", options.c_str()};
  struct fuse_args args =
      FUSE_ARGS_INIT(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
  const struct fuse_operations ops = operations();
  struct fuse* fuse = fuse_new(&args, &ops, sizeof ops, &fs);
  fuse_opt_free_args(&args);
  if (fuse == nullptr) return Status::invalidArgument("cannot set up the FUSE session");
  gSignals = 0;
  installHandlers();  // before mounting: an interrupt from now on ends the session cleanly
  if (fuse_mount(fuse, mountpoint.c_str()) != 0) {
    fuse_destroy(fuse);
    return Status(StatusCode::kUnavailable, "cannot mount at " + mountpoint +
                                                " (is /dev/fuse there and fusermount3 installed?)");
  }
  gSession = fuse_get_session(fuse);
  int served = 0;
  if (gSignals.load() == 0) {  // no interrupt came while mounting
    struct fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, 16);
    served = fuse_loop_mt(fuse, config);
    fuse_loop_cfg_destroy(config);
  }
  gSession = nullptr;
  fuse_unmount(fuse);
  fuse_destroy(fuse);
  if (served != 0 && gSignals.load() == 0) {
    return Status::ioError("the FUSE session ended with an error (" + std::to_string(served) + ")");
  }
  return Status::OK();
}

int FuseSession::signalsReceived() { return gSignals.load(); }

}  // namespace nb::cli::mount
