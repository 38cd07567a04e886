// ContentHash computes the SHA-256 of a file's bytes as they pass through a
// transfer, in the order they are sent or received, so that no file is read a
// second time to learn its hash. Bytes may arrive with their offset: a
// transfer that starts again at offset 0 starts the hash again, and a gap or
// an overlap leaves the hash unknown. One object per transfer; one thread at
// a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace nb::cli {

class ContentHash {
 public:
  ContentHash();
  ~ContentHash();
  ContentHash(const ContentHash&) = delete;
  ContentHash& operator=(const ContentHash&) = delete;

  // Adds the bytes that follow the ones added so far.
  void add(std::string_view bytes);
  // Adds the bytes found at `offset` of the file.
  void addAt(std::int64_t offset, std::string_view bytes);
  // The hash of everything added, as 64 lower-case hex digits; empty when it
  // is not known (bytes out of order, or OpenSSL failed).
  std::string hex();

 private:
  void restart();
  struct Digest;
  std::unique_ptr<Digest> digest_;
  std::int64_t next_ = 0;
  bool broken_ = false;
};

}  // namespace nb::cli
