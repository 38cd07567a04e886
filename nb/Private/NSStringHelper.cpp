#include "nb/Private/NSStringHelper.h"

#include <pthread.h>
#include <sys/random.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace nb {
namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";

// Bytes that pass through percent-encoding unchanged.
constexpr std::array<bool, 256> makeUnreservedTable() {
  std::array<bool, 256> table{};
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  table['-'] = table['.'] = table['_'] = table['~'] = true;
  return table;
}
constexpr std::array<bool, 256> kUnreserved = makeUnreservedTable();

// Counts forks, so that a child process discards the random bytes its parent
// had drawn and never sends the nonces the parent will send.
std::atomic<unsigned> forkGeneration{0};
void countFork() { forkGeneration.fetch_add(1, std::memory_order_relaxed); }

// Random bytes drawn a batch at a time: one draw costs about as much for 16
// bytes as for a kilobyte, and a nonce is wanted for every signed request.
class RandomPool {
 public:
  static RandomPool& forThisThread() {
    static const bool watchingForks = pthread_atfork(nullptr, nullptr, &countFork) == 0;
    thread_local RandomPool pool;
    pool.watchingForks_ = watchingForks;
    return pool;
  }

  void take(unsigned char* out, std::size_t n) {
    // Without fork tracking every draw goes to the generator, which keeps no
    // state in the process.
    if (!watchingForks_ || n > bytes_.size()) return draw(out, n);
    const unsigned generation = forkGeneration.load(std::memory_order_relaxed);
    if (n > bytes_.size() - used_ || generation != generation_) {
      draw(bytes_.data(), bytes_.size());
      used_ = 0;
      generation_ = generation;
    }
    std::memcpy(out, bytes_.data() + used_, n);
    used_ += n;
  }

 private:
  // The kernel's generator: as strong as OpenSSL's, and a process that only
  // signs requests then never sets up OpenSSL's own (which costs about a
  // millisecond at start and again at exit).
  static void draw(unsigned char* out, std::size_t n) {
    while (n > 0) {
      const ssize_t got = getrandom(out, n, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) throw std::runtime_error("the system random generator failed");
      out += got;
      n -= static_cast<std::size_t>(got);
    }
  }

  std::array<unsigned char, 1024> bytes_{};
  std::size_t used_ = bytes_.size();
  unsigned generation_ = 0;
  bool watchingForks_ = false;
};

}  // namespace

std::size_t NSStringHelper::urlEncodedLength(std::string_view s) {
  std::size_t length = s.size();
  for (unsigned char c : s) length += kUnreserved[c] ? 0 : 2;
  return length;
}

char* NSStringHelper::writeUrlEncoded(char* out, std::string_view s) {
  for (unsigned char c : s) {
    if (kUnreserved[c]) {
      *out++ = static_cast<char>(c);
    } else {
      out[0] = '%';
      out[1] = kUpperHex[c >> 4];
      out[2] = kUpperHex[c & 0x0F];
      out += 3;
    }
  }
  return out;
}

char* NSStringHelper::writeUrlEncodedTwice(char* out, std::string_view s) {
  for (unsigned char c : s) {
    if (kUnreserved[c]) {
      *out++ = static_cast<char>(c);
    } else {
      out[0] = '%';
      out[1] = '2';
      out[2] = '5';
      out[3] = kUpperHex[c >> 4];
      out[4] = kUpperHex[c & 0x0F];
      out += 5;
    }
  }
  return out;
}

void NSStringHelper::appendUrlEncoded(std::string& out, std::string_view s) {
  const std::size_t start = out.size();
  out.resize(start + urlEncodedLength(s));
  writeUrlEncoded(out.data() + start, s);
}

std::string NSStringHelper::urlEncodeCovertString(std::optional<std::string_view> s) {
  std::string out;
  if (s) appendUrlEncoded(out, *s);
  return out;
}

std::string NSStringHelper::genericGUID() {
  char text[36];
  genericGUID(text);
  return std::string(text, sizeof text);
}

void NSStringHelper::genericGUID(char (&out)[36]) {
  std::array<unsigned char, 16> bytes;
  RandomPool::forThisThread().take(bytes.data(), bytes.size());
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char* o = out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *o++ = '-';
    *o++ = kUpperHex[bytes[i] >> 4];
    *o++ = kUpperHex[bytes[i] & 0x0F];
  }
}

std::string NSStringHelper::timestamp() { return timestamp(std::chrono::system_clock::now()); }

std::string NSStringHelper::timestamp(std::chrono::system_clock::time_point now) {
  // Whole seconds, truncated toward zero. Kept 64-bit so that times past 2038
  // stay correct instead of wrapping.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
  return std::to_string(static_cast<std::int64_t>(seconds.count()));
}

}  // namespace nb
