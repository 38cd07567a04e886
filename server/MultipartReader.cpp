#include "server/MultipartReader.h"

#include <cctype>

#include "nb/platform/AsciiText.h"

namespace nb::server {
namespace {

constexpr std::size_t kMaxHeaders = 16 * 1024;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The value of parameter `key` in a header value such as
// `form-data; name="file"; filename="a.txt"`.
std::optional<std::string> headerParameter(std::string_view value, std::string_view key) {
  std::size_t start = 0;
  while (start < value.size()) {
    std::size_t end = value.find(';', start);
    if (end == std::string_view::npos) end = value.size();
    const std::string_view piece = trim(value.substr(start, end - start));
    start = end + 1;
    const auto eq = piece.find('=');
    if (eq == std::string_view::npos || ascii::lowercase(trim(piece.substr(0, eq))) != key) {
      continue;
    }
    std::string_view v = trim(piece.substr(eq + 1));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return std::string(v);
  }
  return std::nullopt;
}

}  // namespace

MultipartReader::MultipartReader(std::string boundary, PartStart onPart, PartData onData)
    // The leading CRLF lets the first boundary, at the very start, match too.
    : delimiter_("\r\n--" + boundary),
      onPart_(std::move(onPart)),
      onData_(std::move(onData)),
      buffer_("\r\n") {}

std::optional<std::string> MultipartReader::boundaryOf(std::string_view contentType) {
  const auto semicolon = contentType.find(';');
  if (ascii::lowercase(trim(contentType.substr(0, semicolon))) != "multipart/form-data" ||
      semicolon == std::string_view::npos) {
    return std::nullopt;
  }
  auto boundary = headerParameter(contentType.substr(semicolon + 1), "boundary");
  if (!boundary || boundary->empty() || boundary->size() > 70) return std::nullopt;
  return boundary;
}

bool MultipartReader::feed(const char* data, std::size_t size) {
  if (state_ == State::kFailed) return false;
  if (state_ == State::kDone) return true;  // the epilogue is ignored
  if (state_ == State::kBody && buffer_.size() < delimiter_.size() && size >= delimiter_.size()) {
    scanBody(data, size);
  }
  buffer_.append(data, size);
  while (step()) {
  }
  return state_ != State::kFailed;
}

// Part data is searched where it lies, not copied into the buffer first: only
// a tail that may begin a delimiter is kept back (in the buffer, fewer bytes
// than a delimiter). Leaves the bytes after a delimiter found to the steps.
void MultipartReader::scanBody(const char*& data, std::size_t& size) {
  const auto advance = [&](std::size_t used) {
    data += used;
    size -= used;
  };
  if (!buffer_.empty()) {
    // A delimiter that begins in the kept tail ends within the new bytes' first
    // length - 1; without one, the tail alone is passed on.
    const std::size_t kept = buffer_.size();
    buffer_.append(data, delimiter_.size() - 1);
    const std::size_t used = takeBody(buffer_);
    buffer_.clear();
    if (state_ != State::kBody) return advance(used - kept);
  }
  advance(takeBody(std::string_view(data, size)));
}

std::size_t MultipartReader::takeBody(std::string_view bytes) {
  const auto at = bytes.find(delimiter_);
  if (at == std::string_view::npos) {
    const std::size_t emit = bytes.size() - std::min(bytes.size(), delimiter_.size() - 1);
    if (emit > 0 && inPart_) onData_(bytes.data(), emit);
    return emit;
  }
  if (at > 0 && inPart_) onData_(bytes.data(), at);
  state_ = State::kAfterBoundary;
  return at + delimiter_.size();
}

// Makes progress on the buffer; false when it needs more bytes (or is finished).
bool MultipartReader::step() {
  switch (state_) {
    case State::kBody:
      buffer_.erase(0, takeBody(buffer_));
      return state_ == State::kAfterBoundary;
    case State::kAfterBoundary:
      if (buffer_.size() < 2) return false;
      if (buffer_.compare(0, 2, "--") == 0) {
        state_ = State::kDone;
        buffer_.clear();
        return false;
      }
      {
        // Transport padding (spaces, tabs) may follow a boundary before its CRLF.
        const auto crlf = buffer_.find("\r\n");
        if (crlf == std::string::npos) {
          if (buffer_.size() > 256) state_ = State::kFailed;
          return false;
        }
        if (!trim(std::string_view(buffer_).substr(0, crlf)).empty()) {
          state_ = State::kFailed;
          return false;
        }
        buffer_.erase(0, crlf + 2);
      }
      state_ = State::kHeaders;
      return true;
    case State::kHeaders: {
      // A part may have no headers at all: then the blank line comes first.
      const auto end = buffer_.compare(0, 2, "\r\n") == 0 ? 0 : buffer_.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (buffer_.size() > kMaxHeaders) state_ = State::kFailed;
        return false;
      }
      const std::string headers = buffer_.substr(0, end);
      buffer_.erase(0, end == 0 ? 2 : end + 4);
      if (!startPart(headers)) {
        state_ = State::kFailed;
        return false;
      }
      state_ = State::kBody;
      return true;
    }
    case State::kDone:
    case State::kFailed:
      return false;
  }
  return false;
}

bool MultipartReader::startPart(std::string_view headers) {
  std::string name;
  std::size_t start = 0;
  while (start < headers.size()) {
    std::size_t end = headers.find("\r\n", start);
    if (end == std::string_view::npos) end = headers.size();
    const std::string_view line = headers.substr(start, end - start);
    start = end + 2;
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    if (ascii::lowercase(trim(line.substr(0, colon))) == "content-disposition") {
      name = headerParameter(line.substr(colon + 1), "name").value_or("");
    }
  }
  inPart_ = true;
  onPart_(name);
  return true;
}

}  // namespace nb::server
