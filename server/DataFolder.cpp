#include "server/DataFolder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace nb::server {

Result<DataFolder> DataFolder::open(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return Status::ioError("cannot create " + path + ": " + ec.message());
  ::chmod(path.c_str(), 0700);
  const auto absolute = std::filesystem::canonical(path, ec);
  if (ec) return Status::ioError("cannot open " + path + ": " + ec.message());
  return DataFolder(absolute.string());
}

bool DataFolder::writeEnvironment(const std::string& lines) const {
  const std::string temp = envFile() + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << "# pid " << ::getpid() << "\n" << lines;
    if (!out.good()) return false;
  }
  return std::rename(temp.c_str(), envFile().c_str()) == 0;
}

void DataFolder::removeEnvironment() const { ::unlink(envFile().c_str()); }

std::optional<std::string> DataFolder::runningEnvironment() const {
  std::ifstream in(envFile());
  std::string first;
  if (!std::getline(in, first) || first.rfind("# pid ", 0) != 0) return std::nullopt;
  long pid = 0;
  const auto [end, ec] = std::from_chars(first.data() + 6, first.data() + first.size(), pid);
  if (ec != std::errc()) return std::nullopt;
  // A server killed without cleaning up leaves the file behind; its pid is gone.
  if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return std::nullopt;
  std::stringstream rest;
  rest << in.rdbuf();
  return rest.str();
}

DataFolder::Lock::~Lock() {
  if (fd_ >= 0) ::close(fd_);
}

Result<DataFolder::Lock> DataFolder::lock() const {
  const std::string file = path_ + "/lock";
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return Status::ioError("cannot open " + file + ": " + std::strerror(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int cause = errno;
    ::close(fd);
    if (cause == EWOULDBLOCK) return Status::unavailable("a server is running on " + path_);
    return Status::ioError("cannot lock " + file + ": " + std::strerror(cause));
  }
  return Lock(fd);
}

}  // namespace nb::server
