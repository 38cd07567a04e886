// BlobStore keeps file contents under blobs/, named by their SHA-256. A blob is
// written to a temporary file, synced and renamed into place, so a blob that
// exists is always complete. Thread-safe: writers use distinct temporary files.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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
    // Syncs and moves the content into place; nullopt on a disk failure.
    std::optional<BlobId> finish();

   private:
    friend class BlobStore;
    Writer(const BlobStore& store, int fd, std::string tempPath);
    const BlobStore& store_;
    int fd_;
    std::string tempPath_;
    std::int64_t size_ = 0;
    void* hash_;  // EVP_MD_CTX, kept out of this header
    bool failed_ = false;
  };

  // `dataFolder` holds blobs/ and tmp/.
  explicit BlobStore(const std::string& dataFolder);
  // Creates the folders and removes temporary files a crash left behind.
  bool prepare(std::string* error) const;
  std::unique_ptr<Writer> begin() const;
  std::string pathOf(const std::string& hash) const;

 private:
  std::string blobs_;
  std::string tmp_;
};

}  // namespace nb::server
