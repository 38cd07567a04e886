#include "server/BlobStore.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "server/Secrets.h"

namespace nb::server {
namespace {

bool syncFolder(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

EVP_MD_CTX* ctx(void* p) { return static_cast<EVP_MD_CTX*>(p); }

}  // namespace

BlobStore::BlobStore(const std::string& dataFolder)
    : blobs_(dataFolder + "/blobs"), tmp_(dataFolder + "/tmp") {}

Status BlobStore::prepare() const {
  std::error_code ec;
  std::filesystem::create_directories(blobs_, ec);
  if (!ec) std::filesystem::remove_all(tmp_, ec);
  if (!ec) std::filesystem::create_directories(tmp_, ec);
  return ec ? Status::ioError("cannot prepare " + blobs_ + ": " + ec.message()) : Status::OK();
}

std::string BlobStore::pathOf(const std::string& hash) const {
  return blobs_ + "/" + hash.substr(0, 2) + "/" + hash;
}

std::unique_ptr<BlobStore::Writer> BlobStore::begin() const {
  std::string path = tmp_ + "/upload-" + Secrets::randomHex(8);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  return std::unique_ptr<Writer>(new Writer(*this, fd, std::move(path)));
}

BlobStore::Writer::Writer(const BlobStore& store, int fd, std::string tempPath)
    : store_(store), fd_(fd), tempPath_(std::move(tempPath)), hash_(EVP_MD_CTX_new()) {
  EVP_DigestInit_ex(ctx(hash_), EVP_sha256(), nullptr);
}

BlobStore::Writer::~Writer() {
  if (fd_ >= 0) ::close(fd_);
  if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
  EVP_MD_CTX_free(ctx(hash_));
}

bool BlobStore::Writer::write(const char* data, std::size_t size) {
  if (failed_) return false;
  EVP_DigestUpdate(ctx(hash_), data, size);
  size_ += static_cast<std::int64_t>(size);
  // A large piece goes to the file as it is; small ones are gathered into
  // large writes.
  if (size >= kDirect) return (buffer_.empty() || flush()) && writeAll(data, size);
  if (buffer_.size() + size > kBuffer && !flush()) return false;
  buffer_.append(data, size);
  return true;
}

bool BlobStore::Writer::flush() {
  const bool ok = writeAll(buffer_.data(), buffer_.size());
  buffer_.clear();
  return ok;
}

bool BlobStore::Writer::writeAll(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !(failed_ = true);
    data += n;
    size -= static_cast<std::size_t>(n);
    written_ += n;
  }
  // Start the disk on what has arrived, so the sync at the end has little left.
  if (written_ - synced_ >= kWriteBehind) {
    ::sync_file_range(fd_, synced_, written_ - synced_, SYNC_FILE_RANGE_WRITE);
    synced_ = written_;
  }
  return true;
}

std::optional<BlobId> BlobStore::Writer::seal() {
  if (failed_ || !flush() || ::fdatasync(fd_) != 0) return std::nullopt;
  ::close(fd_);
  fd_ = -1;
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx(hash_), digest, &length);
  sealed_ = BlobId{Secrets::toHex(digest, length), size_};
  return sealed_;
}

bool BlobStore::Writer::place() {
  if (!sealed_ || tempPath_.empty()) return false;
  const std::string target = store_.pathOf(sealed_->hash);
  const std::string folder = target.substr(0, target.rfind('/'));
  ::mkdir(folder.c_str(), 0700);
  struct stat existing;
  if (::stat(target.c_str(), &existing) == 0 && existing.st_size == size_) {
    return true;  // same content already stored; the destructor drops ours
  }
  if (::rename(tempPath_.c_str(), target.c_str()) != 0) return false;
  tempPath_.clear();
  return syncFolder(folder) && syncFolder(store_.blobs_);
}

std::size_t BlobStore::sweep(const std::function<bool(const std::string&)>& referenced) const {
  std::size_t removed = 0;
  std::error_code ec;
  for (const auto& shard : std::filesystem::directory_iterator(blobs_, ec)) {
    std::error_code inner;
    for (const auto& blob : std::filesystem::directory_iterator(shard.path(), inner)) {
      if (referenced(blob.path().filename().string())) continue;
      if (std::filesystem::remove(blob.path(), inner)) ++removed;
    }
  }
  return removed;
}

}  // namespace nb::server
