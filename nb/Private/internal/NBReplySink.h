// NBReplySink is where NBNetworkOperation puts the body of an accepted reply:
// in memory, up to a bound, or in a file. The operation chooses the sink for
// each request; the procedure feeds it and asks it for the finished body.
// Owned by the operation; used on the thread that runs its request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nb/Status.h"
#include "nb/platform/FileOutputStream.h"

namespace nb {

class NBReplySink {
 public:
  virtual ~NBReplySink() = default;
  // A new body starts (a further response drops what came before);
  // `expectedBytes` is its announced length, negative when unknown. A sink
  // that cannot take that much refuses before any of it is read.
  virtual Status begin(std::int64_t expectedBytes) = 0;
  // Appends a chunk; a failure ends the request.
  virtual Status write(std::string_view chunk) = 0;
  // The complete body: its text when kept in memory, nothing when it went to a
  // file (which is then in place). A failure leaves nothing behind.
  virtual Result<std::optional<std::string>> finish() = 0;
  // Drops what was written; called when the request ends without success.
  virtual void discard() = 0;

  // Keeps the body in memory; past `limit` bytes the request fails with kResourceExhausted.
  static std::unique_ptr<NBReplySink> memory(std::uint64_t limit);
  // Writes the body to a temporary file of its own beside `path` and renames it
  // onto `path` at finish(), so concurrent writers of one path never mix their
  // bytes and a failed request leaves an earlier file at `path` untouched.
  static std::unique_ptr<NBReplySink> file(std::string path);
};

// The bound on any reply body kept in memory (JSON replies, images): 64 MiB.
inline constexpr std::uint64_t kReplyMemoryLimit = std::uint64_t{64} << 20;

}  // namespace nb
