#include "nb/Private/NSStringHelper.h"

#include <pthread.h>
#include <sys/random.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Sixteen bytes are checked at once where the processor allows: most of what
// is encoded (nonces, names, keys, Base64 text) is long runs of unreserved
// bytes, which are then copied a block at a time.
constexpr std::size_t kBlock = 16;

#if defined(__SSE2__)
// Bit i is set when byte i of the 16 at `p` is unreserved.
unsigned unreservedMask(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Letters: (c | 0x20) - 'a' is at most 25 (unsigned) only for A-Z and a-z.
  const __m128i letter = _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(25)), letter);
  const __m128i digit = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
  const __m128i isMark = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('-')), _mm_cmpeq_epi8(v, _mm_set1_epi8('.'))),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('_')), _mm_cmpeq_epi8(v, _mm_set1_epi8('~'))));
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(isLetter, isDigit), isMark)));
}
#endif

// Writes `c` percent-encoded (`twice`: with its '%' encoded again) at `out`.
char* writeEscape(char* out, unsigned char c, bool twice) {
  *out++ = '%';
  if (twice) {
    *out++ = '2';
    *out++ = '5';
  }
  *out++ = kUpperHex[c >> 4];
  *out++ = kUpperHex[c & 0x0F];
  return out;
}

char* writeEncoded(char* out, std::string_view s, bool twice) {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + kBlock <= s.size(); i += kBlock) {
    const unsigned mask = unreservedMask(s.data() + i);
    if (mask == 0xFFFF) {
      std::memcpy(out, s.data() + i, kBlock);
      out += kBlock;
      continue;
    }
    for (std::size_t j = 0; j < kBlock; ++j) {
      const auto c = static_cast<unsigned char>(s[i + j]);
      if (mask & (1u << j)) {
        *out++ = static_cast<char>(c);
      } else {
        out = writeEscape(out, c, twice);
      }
    }
  }
#endif
  for (; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (kUnreserved[c]) {
      *out++ = static_cast<char>(c);
    } else {
      out = writeEscape(out, c, twice);
    }
  }
  return out;
}

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
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + kBlock <= s.size(); i += kBlock) {
    length +=
        2 * static_cast<std::size_t>(__builtin_popcount(~unreservedMask(s.data() + i) & 0xFFFF));
  }
#endif
  for (; i < s.size(); ++i) length += kUnreserved[static_cast<unsigned char>(s[i])] ? 0 : 2;
  return length;
}

char* NSStringHelper::writeUrlEncoded(char* out, std::string_view s) {
  return writeEncoded(out, s, false);
}

char* NSStringHelper::writeUrlEncodedTwice(char* out, std::string_view s) {
  return writeEncoded(out, s, true);
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
