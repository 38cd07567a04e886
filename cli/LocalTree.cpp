#include "cli/LocalTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "cli/LocalFiles.h"

namespace nb::cli {
namespace {

// File systems whose entries are the kernel's view of itself, not files.
struct PseudoType {
  unsigned long magic;
  const char* name;
};
constexpr PseudoType kPseudoTypes[] = {
    {PROC_SUPER_MAGIC, "proc"},
    {SYSFS_MAGIC, "sysfs"},
    {DEVPTS_SUPER_MAGIC, "devpts"},
    {CGROUP_SUPER_MAGIC, "cgroup"},
    {CGROUP2_SUPER_MAGIC, "cgroup2"},
    {SECURITYFS_MAGIC, "securityfs"},
    {DEBUGFS_MAGIC, "debugfs"},
    {TRACEFS_MAGIC, "tracefs"},
    {PSTOREFS_MAGIC, "pstore"},
    {BPF_FS_MAGIC, "bpf"},
    {BINFMTFS_MAGIC, "binfmt_misc"},
    {SELINUX_MAGIC, "selinuxfs"},
    {EFIVARFS_MAGIC, "efivarfs"},
    {AUTOFS_SUPER_MAGIC, "autofs"},
    {NSFS_MAGIC, "nsfs"},
    {0x62656570, "configfs"},
    {0x65735543, "fusectl"},
    {0x19800202, "mqueue"},
};

// The type /proc/self/mountinfo gives the file system of device `device`.
std::string mountType(dev_t device) {
  std::ifstream mounts("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers;
    fields >> id >> parent >> numbers;
    const auto dash = line.find(" - ");
    if (numbers == wanted && dash != std::string::npos) {
      std::istringstream rest(line.substr(dash + 3));
      std::string type;
      rest >> type;
      return type;
    }
  }
  return "";
}

std::string errnoText() { return std::strerror(errno); }

long long nanoseconds(const timespec& time) {
  return static_cast<long long>(time.tv_sec) * 1'000'000'000LL + time.tv_nsec;
}

class Walk {
 public:
  Walk(LocalTree::Options options, TreeListing& out) : options_(options), out_(out) {}

  void root(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail(path, "cannot read the folder: " + errnoText());
    struct stat info {};
    ::fstat(fd, &info);
    rootDevice_ = info.st_dev;
    if (const std::string type = LocalTree::pseudoFileSystem(fd); !type.empty()) {
      ::close(fd);
      return skip(path, type);
    }
    folder(fd, path, "", info.st_dev);
  }

 private:
  struct Child {
    std::string name;
    struct stat info;
  };

  void fail(const std::string& path, const std::string& message) {
    out_.errors.push_back({path, Status::ioError(message)});
  }
  void skip(const std::string& path, const std::string& pseudoType) {
    out_.skipped.push_back({path, "a pseudo file system (" + pseudoType + "), not walked"});
  }

  // Reads the folder open as `fd` (taken over), then walks its subfolders.
  void folder(int fd, const std::string& local, const std::string& relative, dev_t device) {
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      ::close(fd);
      return fail(local, "cannot read the folder: " + errnoText());
    }
    std::vector<Child> children;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      Child child{name, {}};
      if (::fstatat(::dirfd(dir), name.c_str(), &child.info, AT_SYMLINK_NOFOLLOW) != 0) {
        fail(join(local, name), "cannot read: " + errnoText());
      } else {
        children.push_back(std::move(child));
      }
      errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
      return fail(local, std::string("cannot read the folder: ") + std::strerror(readError));
    }
    std::sort(children.begin(), children.end(),
              [](const Child& a, const Child& b) { return a.name < b.name; });
    for (const Child& child : children) {
      const std::string path = join(local, child.name);
      const std::string inner = relative.empty() ? child.name : relative + "/" + child.name;
      const mode_t mode = child.info.st_mode;
      if (PartialFile::isPartialName(child.name) && S_ISREG(mode)) {
        out_.partials.push_back(inner);
      } else if (!uploadableName(child.name)) {
        out_.skipped.push_back({path, kUnstorableName});
      } else if (S_ISLNK(mode)) {
        out_.skipped.push_back({path, "a symbolic link"});
      } else if (S_ISREG(mode)) {
        out_.entries.push_back(LocalTree::fileEntry(inner, child.info));
      } else if (!S_ISDIR(mode)) {
        out_.skipped.push_back({path, "a special file (device, pipe or socket)"});
      } else if (options_.oneFileSystem && child.info.st_dev != rootDevice_) {
        out_.skipped.push_back({path, "on another file system (-x)"});
      } else {
        subfolder(path, inner, child.info, device);
      }
    }
  }

  void subfolder(const std::string& path, const std::string& relative, const struct stat& seen,
                 dev_t parentDevice) {
    // Not following a link that took the folder's place since it was read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_ino != seen.st_ino ||
        info.st_dev != seen.st_dev) {
      if (fd >= 0) ::close(fd);
      return fail(path, "cannot read the folder: " + (fd < 0 ? errnoText() : "it changed"));
    }
    if (info.st_dev != parentDevice) {
      if (const std::string type = LocalTree::pseudoFileSystem(fd); !type.empty()) {
        ::close(fd);
        return skip(path, type);
      }
    }
    out_.entries.push_back({relative, true, 0, static_cast<long long>(info.st_mtime), ""});
    folder(fd, path, relative, info.st_dev);
  }

  static std::string join(const std::string& folder, const std::string& name) {
    return (std::filesystem::path(folder) / name).string();
  }

  LocalTree::Options options_;
  TreeListing& out_;
  dev_t rootDevice_ = 0;
};

}  // namespace

TreeEntry LocalTree::fileEntry(const std::string& relative, const struct stat& info) {
  TreeEntry entry{relative, false, static_cast<std::uint64_t>(info.st_size),
                  static_cast<long long>(info.st_mtime), ""};
  entry.device = info.st_dev;
  entry.inode = info.st_ino;
  entry.modifiedNs = nanoseconds(info.st_mtim);
  entry.changedNs = nanoseconds(info.st_ctim);
  return entry;
}

std::string LocalTree::pseudoFileSystem(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return "";
  const auto magic = static_cast<unsigned long>(fs.f_type);
  for (const PseudoType& type : kPseudoTypes) {
    if (type.magic == magic) return type.name;
  }
  // devtmpfs reports tmpfs's number; the mount table tells them apart.
  if (magic == TMPFS_MAGIC) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && mountType(info.st_dev) == "devtmpfs") return "devtmpfs";
  }
  return "";
}

TreeListing LocalTree::walk(const std::string& root, Options options) {
  TreeListing listing;
  Walk(options, listing).root(root);
  return listing;
}

}  // namespace nb::cli
