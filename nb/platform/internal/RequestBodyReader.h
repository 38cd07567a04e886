// RequestBodyReader streams a request body made of parts (bytes, or files read
// while sending) so that uploads of big files use constant memory. The parts
// must outlive the reader. Used by one transfer on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nb/platform/URLRequest.h"

namespace nb {

class RequestBodyReader {
 public:
  // Measures the parts whose size is not given; nothing with `error` set when
  // such a file cannot be read.
  static std::unique_ptr<RequestBodyReader> make(const std::vector<URLRequestBodyPart>& parts,
                                                 std::string* error);
  ~RequestBodyReader();
  RequestBodyReader(const RequestBodyReader&) = delete;
  RequestBodyReader& operator=(const RequestBodyReader&) = delete;

  // The total length, fixed when made.
  std::int64_t length() const { return length_; }
  // Copies up to `size` next bytes into `buffer`, as many as the parts left
  // hold (fewer only at the end of the body): the count, 0 at the end, or
  // -1 with error() set (a file that cannot be read, or a part whose size
  // changed since it was measured).
  std::int64_t read(char* buffer, std::size_t size);
  // Restarts at `offset` (a redirect resends the body). False when out of range.
  bool seek(std::int64_t offset);
  const std::string& error() const { return error_; }

 private:
  RequestBodyReader(const std::vector<URLRequestBodyPart>& parts, std::vector<std::int64_t> sizes);
  void closeFile();
  // Reads from the current part only (moving past finished ones): as read().
  std::int64_t readPart(char* buffer, std::size_t size);

  const std::vector<URLRequestBodyPart>* parts_;
  std::vector<std::int64_t> sizes_;
  std::int64_t length_ = 0;
  std::size_t part_ = 0;         // current part
  std::int64_t partOffset_ = 0;  // position inside it
  int fd_ = -1;                  // open file of the current part, if a file
  std::string error_;
};

}  // namespace nb
