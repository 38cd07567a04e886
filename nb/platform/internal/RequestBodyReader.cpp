#include "nb/platform/internal/RequestBodyReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nb {

std::unique_ptr<RequestBodyReader> RequestBodyReader::make(
    const std::vector<URLRequestBodyPart>& parts, std::string* error) {
  std::vector<std::int64_t> sizes;
  for (const auto& part : parts) {
    if (!part.isFile) {
      sizes.push_back(static_cast<std::int64_t>(part.data->size()));
      continue;
    }
    if (part.size >= 0) {
      // Measured by the request's maker, and declared with that length.
      sizes.push_back(part.size);
      continue;
    }
    struct stat info {};
    if (::stat(part.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      *error = "The file " + part.path +
               " cannot be read: " + (errno != 0 ? std::strerror(errno) : "not a regular file") +
               ".";
      return nullptr;
    }
    sizes.push_back(info.st_size);
  }
  return std::unique_ptr<RequestBodyReader>(new RequestBodyReader(parts, std::move(sizes)));
}

RequestBodyReader::RequestBodyReader(const std::vector<URLRequestBodyPart>& parts,
                                     std::vector<std::int64_t> sizes)
    : parts_(&parts), sizes_(std::move(sizes)) {
  for (auto size : sizes_) length_ += size;
}

RequestBodyReader::~RequestBodyReader() { closeFile(); }

void RequestBodyReader::closeFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::int64_t RequestBodyReader::read(char* buffer, std::size_t size) {
  // The buffer is filled across parts, so that a small upload's form framing
  // and file leave in one send rather than one per part.
  std::size_t filled = 0;
  while (filled < size) {
    const std::int64_t got = readPart(buffer + filled, size - filled);
    if (got < 0) return -1;
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(filled);
}

std::int64_t RequestBodyReader::readPart(char* buffer, std::size_t size) {
  while (part_ < sizes_.size() && partOffset_ == sizes_[part_]) {
    closeFile();
    ++part_;
    partOffset_ = 0;
  }
  if (part_ == sizes_.size() || size == 0) return 0;

  const auto& part = (*parts_)[part_];
  const auto wanted =
      static_cast<std::size_t>(std::min<std::int64_t>(size, sizes_[part_] - partOffset_));
  if (!part.isFile) {
    // Shared bytes are read where they are on every call, so their owner may
    // have moved them; a changed length is refused rather than read past.
    if (static_cast<std::int64_t>(part.data->size()) != sizes_[part_]) {
      error_ = "The bytes of the request body changed length while they were being sent.";
      return -1;
    }
    std::memcpy(buffer, part.data->data() + partOffset_, wanted);
    partOffset_ += static_cast<std::int64_t>(wanted);
    return static_cast<std::int64_t>(wanted);
  }
  if (fd_ < 0) {
    fd_ = ::open(part.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      error_ = "The file " + part.path + " cannot be read: " + std::strerror(errno) + ".";
      return -1;
    }
  }
  ssize_t got;
  do {
    got = ::pread(fd_, buffer, wanted, partOffset_);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    error_ = "The file " + part.path + " cannot be read: " + std::strerror(errno) + ".";
    return -1;
  }
  if (got == 0) {
    error_ = "The file " + part.path + " became shorter while it was being sent.";
    return -1;
  }
  if (part.observer) {
    (*part.observer)(partOffset_, std::string_view(buffer, static_cast<std::size_t>(got)));
  }
  partOffset_ += got;
  return got;
}

bool RequestBodyReader::seek(std::int64_t offset) {
  if (offset < 0 || offset > length_) return false;
  closeFile();
  part_ = 0;
  while (part_ < sizes_.size() && offset > sizes_[part_]) {
    offset -= sizes_[part_];
    ++part_;
  }
  partOffset_ = offset;
  return true;
}

}  // namespace nb
