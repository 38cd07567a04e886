// BlobStore keeps file contents under blobs/, named by their SHA-256. A blob is
// written to a temporary file, synced and renamed into place, so a blob that
// exists is always complete. Thread-safe: writers use distinct temporary files.
// A writer is used by one thread; past its first megabyte it hashes on a
// helper thread of its own, beside the thread that receives and writes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "nb/Status.h"

namespace nb::server {

struct BlobId {
  std::string hash;  // lowercase hex SHA-256
  std::int64_t size = 0;
};

class BlobStore {
 public:
  // Streams one blob in. Destroying an unfinished writer removes its temporary file.
  class Writer {
   public:
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    bool write(const char* data, std::size_t size);
    std::int64_t size() const { return size_; }
    // Syncs the content and names it; nullopt on a disk failure. The blob is
    // not yet kept: place() moves it into blobs/, and a writer destroyed
    // before that drops it.
    std::optional<BlobId> seal();
    // Moves a sealed blob into place (a stored copy of the same content
    // serves as well); false on a disk failure.
    bool place();

   private:
    friend class BlobStore;
    class Digest;
    Writer(const BlobStore& store, int fd, std::string tempPath);
    static constexpr off_t kWriteBehind = 8 << 20;
    static constexpr off_t kDropBehind = 4 * kWriteBehind;  // page cache kept behind the writes
    static constexpr off_t kRemoveAside = 32 << 20;  // a dropped file this large goes on a thread
    // Writes the slot being filled to the file and hands it to the digest.
    bool ship();
    bool writeAll(const char* data, std::size_t size);
    const BlobStore& store_;
    std::unique_ptr<Digest> digest_;
    char* slot_ = nullptr;  // the digest's slot being filled, or none yet
    std::size_t filled_ = 0;
    off_t written_ = 0;
    off_t synced_ = 0;   // started on its way to disk
    off_t dropped_ = 0;  // on disk, and out of the page cache
    int fd_;
    std::string tempPath_;
    std::int64_t size_ = 0;
    std::optional<BlobId> sealed_;
    bool failed_ = false;
  };

  // `dataFolder` holds blobs/ and tmp/.
  explicit BlobStore(const std::string& dataFolder);
  // Creates the folders and removes temporary files a crash left behind.
  Status prepare() const;
  std::unique_ptr<Writer> begin() const;
  std::string pathOf(const std::string& hash) const;
  // Removes a blob that nothing holds any more (a reader that has it open
  // keeps reading it).
  void remove(const std::string& hash) const;
  // Removes every blob for which `referenced(hash)` is false: what a crash
  // between placing a blob and recording it left behind. Run at start, before
  // any upload; returns the number removed.
  std::size_t sweep(const std::function<bool(const std::string&)>& referenced) const;

 private:
  std::string blobs_;
  std::string tmp_;
};

}  // namespace nb::server
