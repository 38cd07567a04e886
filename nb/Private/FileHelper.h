// FileHelper holds the small file-system steps of downloads: making a file with
// its folders, removing one, and opening a stream onto one. Stateless class
// operations; any thread (the file system is the only shared state).
#pragma once

#include <memory>
#include <string>

#include "nb/platform/FileOutputStream.h"

namespace nb {

class FileHelper {
 public:
  // Creates the parent folder with every missing folder above it (a failure
  // there shows in the result), then an empty file at `path`, replacing any
  // file there. True when the empty file exists afterwards.
  static bool createFile(const std::string& path);
  // Removes the file at `path`. True when nothing is there afterwards (also
  // when nothing was there to begin with); a folder is never removed.
  static bool deleteFile(const std::string& path);
  // createFile(path), then an unopened stream on it; the caller owns the stream.
  static std::unique_ptr<FileOutputStream> outputStreamToFile(const std::string& path, bool append);
};

}  // namespace nb
