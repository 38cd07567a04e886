// MultipartReader parses a multipart/form-data body as it streams in, handing
// each part's name and data to callbacks without holding the body. The close
// delimiter may end the body directly (no CRLF after it), as some clients send
// it. One body per object; one thread at a time.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nb::server {

class MultipartReader {
 public:
  using PartStart = std::function<void(const std::string& name)>;
  using PartData = std::function<void(const char* data, std::size_t size)>;

  MultipartReader(std::string boundary, PartStart onPart, PartData onData);

  // The boundary parameter of a multipart/form-data content type.
  static std::optional<std::string> boundaryOf(std::string_view contentType);

  // Feeds the next bytes; false once the body is malformed.
  bool feed(const char* data, std::size_t size);
  // Whether the close delimiter has been seen.
  bool complete() const { return state_ == State::kDone; }

 private:
  enum class State { kBody, kAfterBoundary, kHeaders, kDone, kFailed };
  bool step();
  void scanBody(const char*& data, std::size_t& size);
  // Passes the part data in `bytes` on, up to the first delimiter; returns the
  // bytes used: through that delimiter (the state moves past it), or, without
  // one, all but a tail that may begin a delimiter.
  std::size_t takeBody(std::string_view bytes);
  bool startPart(std::string_view headers);

  std::string delimiter_;  // CRLF "--" boundary
  PartStart onPart_;
  PartData onData_;
  std::string buffer_;
  State state_ = State::kBody;
  bool inPart_ = false;  // before the first boundary, body bytes are preamble
};

}  // namespace nb::server
