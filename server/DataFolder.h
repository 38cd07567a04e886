// DataFolder: the layout of an emulator's data folder — metadata.db, blobs/,
// tls/ and the server.env file a running server leaves for --print-env. A
// plain value; any thread.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "nb/Status.h"

namespace nb::server {

class DataFolder {
 public:
  // Creates the folder (mode 0700) when absent; the path is made absolute.
  static Result<DataFolder> open(const std::string& path);

  const std::string& path() const { return path_; }
  std::string metadataFile() const { return path_ + "/metadata.db"; }
  std::string tlsFolder() const { return path_ + "/tls"; }
  std::string blobsFolder() const { return path_ + "/blobs"; }

  // The export lines of the server running on this folder, with its process
  // id; removed when that server stops.
  bool writeEnvironment(const std::string& lines) const;
  void removeEnvironment() const;
  // The lines of a live server on this folder; nullopt when none runs.
  std::optional<std::string> runningEnvironment() const;

  // Takes the folder's lock (DIR/lock, an flock), held by a serving server
  // and by `reset` while it wipes: one holder at a time, released by close or
  // by the holder's death. An error (kUnavailable when another holds it)
  // otherwise.
  class Lock {
   public:
    explicit Lock(int fd) : fd_(fd) {}
    ~Lock();
    Lock(Lock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    Lock& operator=(Lock&& other) noexcept {
      std::swap(fd_, other.fd_);
      return *this;
    }

   private:
    int fd_;
  };
  Result<Lock> lock() const;

 private:
  explicit DataFolder(std::string path) : path_(std::move(path)) {}
  std::string envFile() const { return path_ + "/server.env"; }
  std::string path_;
};

}  // namespace nb::server
