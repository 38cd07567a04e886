// FileOutputStream writes bytes to one file on disk, the stand-in for the
// platform's file output stream. It owns its file descriptor and closes it when
// closed or destroyed. Unlike the platform stream it reports every short or
// failed write, so callers never mistake a truncated file for a complete one.
// Used from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nb {

class FileOutputStream {
 public:
  // An unopened stream on `path`; `append` keeps what the file already holds.
  FileOutputStream(std::string path, bool append);
  ~FileOutputStream();

  FileOutputStream(const FileOutputStream&) = delete;
  FileOutputStream& operator=(const FileOutputStream&) = delete;

  // Opens the file, creating it when missing. False on failure (see streamError).
  bool open();
  // Writes all of `bytes`. False on failure (disk full, I/O error, not open).
  bool write(std::string_view bytes);
  // Closes the file; false when the system reports a failure (streamError).
  bool close();

  bool isOpen() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  // The system's reason for the last failure, with the path; empty before one.
  const std::string& streamError() const { return error_; }
  // True when the open file is still the one named by path() (it was not
  // removed or replaced since opening) and holds exactly `size` bytes.
  bool isStillAtPath(std::int64_t size) const;

 private:
  bool fail(const char* action);

  std::string path_;
  bool append_;
  int fd_ = -1;
  std::string error_;
};

}  // namespace nb
