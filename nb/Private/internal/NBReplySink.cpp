#include "nb/Private/internal/NBReplySink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

namespace nb {
namespace {

class MemorySink final : public NBReplySink {
 public:
  explicit MemorySink(std::uint64_t limit) : limit_(limit) {}

  Status begin(std::int64_t expectedBytes) override {
    body_.clear();
    if (expectedBytes > 0 && static_cast<std::uint64_t>(expectedBytes) > limit_) return tooLarge();
    // An announced length is reserved at once, so the buffer never doubles past it.
    if (expectedBytes > 0) body_.reserve(static_cast<std::size_t>(expectedBytes));
    return Status::OK();
  }

  Status write(std::string_view chunk) override {
    if (body_.size() + chunk.size() > limit_) {
      body_.clear();
      return tooLarge();
    }
    body_.append(chunk);
    return Status::OK();
  }

  Result<std::optional<std::string>> finish() override {
    return std::optional<std::string>(std::move(body_));
  }

  void discard() override { body_.clear(); }

 private:
  Status tooLarge() const {
    return Status::resourceExhausted("the service's reply is larger than " +
                                     std::to_string(limit_ >> 20) + " MiB; it was not read");
  }

  std::uint64_t limit_;
  std::string body_;
};

std::string errnoText(const std::string& action, const std::string& path) {
  return "cannot save the download: cannot " + action + " " + path + ": " + std::strerror(errno);
}

class FileSink final : public NBReplySink {
 public:
  explicit FileSink(std::string path) : path_(std::move(path)) {}
  ~FileSink() override { discard(); }

  Status begin(std::int64_t /*expectedBytes*/) override {
    discard();
    std::error_code error;
    const std::filesystem::path parent = std::filesystem::path(path_).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, error);
    if (error) {
      return Status::ioError("cannot save the download: cannot create " + parent.string() + ": " +
                             error.message());
    }
    // A name of this transfer's own beside the destination: same file system,
    // so the final rename is atomic.
    std::string pattern = path_ + ".partXXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return Status::ioError(errnoText("create a temporary file for", path_));
    ::close(fd);
    temporary_ = pattern;
    // Opened to append, not to truncate: the file is empty either way, but ext4
    // takes a truncated file that is then written for a file being replaced and
    // forces all its blocks out when it is closed, which held the end of a
    // 1 GiB download for half a second.
    stream_ = std::make_unique<FileOutputStream>(temporary_, true);
    if (!stream_->open()) return failure();
    return Status::OK();
  }

  Status write(std::string_view chunk) override {
    if (!stream_) return Status::internal("the download's file is not open");
    if (!stream_->write(chunk)) return failure();
    written_ += static_cast<std::int64_t>(chunk.size());
    return Status::OK();
  }

  Result<std::optional<std::string>> finish() override {
    if (!stream_) {
      if (Status status = begin(-1); !status.ok()) return status;
    }
    if (!stream_->isStillAtPath(written_)) {
      discard();
      return Status::ioError("cannot save the download: " + path_ +
                             " was removed or changed while it was written");
    }
    if (!stream_->close()) {
      Status status = failure();
      discard();
      return status;
    }
    stream_.reset();
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
      Status status = Status::ioError(errnoText("move the download onto", path_));
      discard();
      return status;
    }
    temporary_.clear();
    return std::optional<std::string>();
  }

  void discard() override {
    stream_.reset();
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
    written_ = 0;
  }

 private:
  Status failure() const {
    const int code = errno;
    Status status = Status::ioError("cannot save the download: " + stream_->streamError());
    if (code == ENOSPC || code == EDQUOT) {
      return Status::resourceExhausted(status.message());
    }
    return status;
  }

  std::string path_;
  std::string temporary_;  // this transfer's file until it is renamed onto path_
  std::unique_ptr<FileOutputStream> stream_;
  std::int64_t written_ = 0;
};

}  // namespace

std::unique_ptr<NBReplySink> NBReplySink::memory(std::uint64_t limit) {
  return std::make_unique<MemorySink>(limit);
}

std::unique_ptr<NBReplySink> NBReplySink::file(std::string path) {
  return std::make_unique<FileSink>(std::move(path));
}

}  // namespace nb
