#include "nb/platform/FileOutputStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace nb {

FileOutputStream::FileOutputStream(std::string path, bool append)
    : path_(std::move(path)), append_(append) {}

FileOutputStream::~FileOutputStream() { close(); }

bool FileOutputStream::fail(const char* action) {
  error_ = std::string("cannot ") + action + " " + path_ + ": " + std::strerror(errno);
  return false;
}

bool FileOutputStream::open() {
  if (fd_ >= 0) return true;
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append_ ? O_APPEND : O_TRUNC);
  fd_ = ::open(path_.c_str(), flags, 0666);
  return fd_ >= 0 || fail("open");
}

bool FileOutputStream::write(std::string_view bytes) {
  if (fd_ < 0) {
    errno = EBADF;
    return fail("write to");
  }
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail("write to");
    }
    if (written == 0) {  // the file system took nothing and gave no reason
      errno = EIO;
      return fail("write to");
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool FileOutputStream::close() {
  if (fd_ < 0) return true;
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0 || fail("close");
}

bool FileOutputStream::isStillAtPath(std::int64_t size) const {
  struct stat opened {
  }, named{};
  if (fd_ < 0 || ::fstat(fd_, &opened) != 0 || ::stat(path_.c_str(), &named) != 0) return false;
  return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino && opened.st_size == size;
}

}  // namespace nb
