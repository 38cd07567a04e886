#include "server/BlobStore.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <thread>

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

// Hashing runs beside the receiving thread only while a core is likely free
// for it: past this many helpers at once, a writer hashes on its own thread.
std::atomic<unsigned> helpersRunning{0};
unsigned mostHelpers() { return std::max(2u, std::thread::hardware_concurrency()); }

}  // namespace

// The SHA-256 of a blob, taken over slots that the writer fills in turn. A
// small blob is hashed on the writer's thread as each slot is handed over.
// Past kHelperAfter bytes a helper thread hashes the slots while the writer
// fills the next ones; a slot comes back to the writer once it is hashed.
class BlobStore::Writer::Digest {
 public:
  static constexpr std::size_t kSlot = 256 << 10;

  Digest() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) failed_ = true;
  }
  ~Digest() {
    stopHelper();
    EVP_MD_CTX_free(context_);
  }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  // The next slot to fill (kSlot bytes), once the helper is done with it.
  char* slot() {
    if (!helper_.joinable()) {
      if (!slots_[0]) slots_[0] = std::make_unique_for_overwrite<char[]>(kSlot);
      return slots_[0].get();
    }
    std::unique_lock<std::mutex> guard(mutex_);
    slotFree_.wait(guard, [&] { return handed_ - hashed_ < kSlots; });
    return slots_[handed_ % kSlots].get();
  }

  // The slot from slot() holds `size` bytes, next in the content. The slot
  // must not change until slot() returns it again.
  void hand(std::size_t size) {
    if (helper_.joinable()) {
      std::lock_guard<std::mutex> guard(mutex_);
      sizes_[handed_ % kSlots] = size;
      ++handed_;
      work_.notify_one();
      return;
    }
    update(slots_[0].get(), size);
    inline_ += size;
    if (inline_ >= kHelperAfter) startHelper();
  }

  // The digest of everything handed over; nullopt if hashing failed.
  std::optional<std::string> finish() {
    stopHelper();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (failed_ || EVP_DigestFinal_ex(context_, digest, &length) != 1) return std::nullopt;
    return Secrets::toHex(digest, length);
  }

 private:
  static constexpr std::size_t kSlots = 4;
  static constexpr std::size_t kHelperAfter = 1 << 20;

  void update(const char* data, std::size_t size) {
    if (!failed_ && EVP_DigestUpdate(context_, data, size) != 1) failed_ = true;
  }

  // Without a helper (too many running, or no thread to be had) the writer
  // goes on hashing by itself.
  void startHelper() {
    if (helpersRunning.fetch_add(1) >= mostHelpers()) {
      --helpersRunning;
      inline_ = 0;  // try again a megabyte later
      return;
    }
    try {
      for (auto& slot : slots_) {
        if (!slot) slot = std::make_unique_for_overwrite<char[]>(kSlot);
      }
      helper_ = std::thread([this] { hashSlots(); });
    } catch (const std::exception&) {
      --helpersRunning;
      inline_ = 0;
    }
  }

  // Lets the helper hash what it was handed, and waits for it to end.
  void stopHelper() {
    if (!helper_.joinable()) return;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = true;
      work_.notify_one();
    }
    helper_.join();
    --helpersRunning;
  }

  // Helper thread: hashes the slots in the order they were handed over.
  void hashSlots() {
    std::unique_lock<std::mutex> guard(mutex_);
    for (;;) {
      work_.wait(guard, [&] { return hashed_ < handed_ || stopping_; });
      if (hashed_ == handed_) return;
      const std::size_t index = hashed_ % kSlots;
      const std::size_t size = sizes_[index];
      guard.unlock();
      update(slots_[index].get(), size);
      guard.lock();
      ++hashed_;
      slotFree_.notify_one();
    }
  }

  EVP_MD_CTX* context_;
  bool failed_ = false;     // the helper's while it runs
  std::size_t inline_ = 0;  // bytes hashed here since the last try for a helper
  std::unique_ptr<char[]> slots_[kSlots];
  std::thread helper_;
  std::mutex mutex_;  // guards the four below
  std::condition_variable work_, slotFree_;
  std::size_t sizes_[kSlots] = {};
  std::size_t handed_ = 0, hashed_ = 0;  // slots, since the helper started
  bool stopping_ = false;
};

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

void BlobStore::remove(const std::string& hash) const { ::unlink(pathOf(hash).c_str()); }

std::unique_ptr<BlobStore::Writer> BlobStore::begin() const {
  std::string path = tmp_ + "/upload-" + Secrets::randomHex(8);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  return std::unique_ptr<Writer>(new Writer(*this, fd, std::move(path)));
}

BlobStore::Writer::Writer(const BlobStore& store, int fd, std::string tempPath)
    : store_(store), digest_(std::make_unique<Digest>()), fd_(fd), tempPath_(std::move(tempPath)) {}

BlobStore::Writer::~Writer() {
  digest_.reset();  // the helper stops before the file goes
  if (fd_ >= 0) ::close(fd_);
  if (tempPath_.empty()) return;
  // Removing a large file frees all its pages and blocks (tens of ms for
  // 512 MiB): a dropped copy of stored content, or an upload given up, need
  // not hold up the reply for that. What a stop leaves behind, prepare()
  // removes at the next start.
  if (written_ >= kRemoveAside) {
    try {
      std::thread([path = tempPath_] { ::unlink(path.c_str()); }).detach();
      return;
    } catch (const std::exception&) {
    }
  }
  ::unlink(tempPath_.c_str());
}

bool BlobStore::Writer::write(const char* data, std::size_t size) {
  if (failed_) return false;
  size_ += static_cast<std::int64_t>(size);
  // Everything goes through the digest's slots: the helper hashes a slot
  // after this call has returned, when `data` may hold other bytes. Whole
  // slots also make the file's writes large.
  while (size > 0) {
    if (!slot_) slot_ = digest_->slot();
    const std::size_t take = std::min(size, Digest::kSlot - filled_);
    std::memcpy(slot_ + filled_, data, take);
    filled_ += take;
    data += take;
    size -= take;
    if (filled_ == Digest::kSlot && !ship()) return false;
  }
  return true;
}

bool BlobStore::Writer::ship() {
  if (filled_ == 0) return true;
  // The helper may hash the slot while the file takes its copy of it.
  digest_->hand(filled_);
  const bool ok = writeAll(slot_, filled_);
  slot_ = nullptr;
  filled_ = 0;
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
    // A range started a few ranges ago has had their time to reach the disk:
    // once it is there, its pages leave the cache. The next writes then take
    // the pages just freed instead of ever more memory: a big upload would
    // otherwise fill the cache with pages nobody reads soon, and on a virtual
    // machine that hands free memory back to its host, touching memory not
    // used for a while costs as much as the copy itself.
    if (synced_ - dropped_ >= kDropBehind) {
      ::sync_file_range(
          fd_, dropped_, kWriteBehind,
          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
      ::posix_fadvise(fd_, dropped_, kWriteBehind, POSIX_FADV_DONTNEED);
      dropped_ += kWriteBehind;
    }
    ::sync_file_range(fd_, synced_, written_ - synced_, SYNC_FILE_RANGE_WRITE);
    synced_ = written_;
  }
  return true;
}

std::optional<BlobId> BlobStore::Writer::seal() {
  if (failed_ || !ship() || ::fdatasync(fd_) != 0) return std::nullopt;
  ::close(fd_);
  fd_ = -1;
  auto hash = digest_->finish();
  if (!hash) return std::nullopt;
  sealed_ = BlobId{std::move(*hash), size_};
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
