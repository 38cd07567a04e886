#include "nb/Private/FileHelper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace nb {

bool FileHelper::createFile(const std::string& path) {
  std::error_code ignored;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool FileHelper::deleteFile(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT;
  if (S_ISDIR(info.st_mode)) return false;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::unique_ptr<FileOutputStream> FileHelper::outputStreamToFile(const std::string& path,
                                                                 bool append) {
  createFile(path);
  return std::make_unique<FileOutputStream>(path, append);
}

}  // namespace nb
