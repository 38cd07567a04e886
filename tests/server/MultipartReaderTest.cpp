// The streaming multipart reader: every way of splitting a body into chunks
// gives the same parts, and malformed bodies are refused.
#include "server/MultipartReader.h"

#include <gtest/gtest.h>

#include <vector>

namespace nb::server {
namespace {

const std::string kBoundary = "----------ThIs_Is_tHe_bouNdaRY_$";

struct Parsed {
  std::vector<std::string> names;
  std::vector<std::string> data;
  bool fed = true;
  bool complete = false;
};

Parsed parse(const std::string& body, std::size_t chunk) {
  Parsed parsed;
  MultipartReader reader(
      kBoundary,
      [&](const std::string& name) {
        parsed.names.push_back(name);
        parsed.data.emplace_back();
      },
      [&](const char* data, std::size_t size) { parsed.data.back().append(data, size); });
  for (std::size_t at = 0; at < body.size() && parsed.fed; at += chunk) {
    parsed.fed = reader.feed(body.data() + at, std::min(chunk, body.size() - at));
  }
  parsed.complete = reader.complete();
  return parsed;
}

std::string part(const std::string& name, const std::string& content) {
  return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"; filename=\"x.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content +
         "\r\n";
}

TEST(MultipartReaderTest, SameResultForEveryChunkSize) {
  // Content that looks like a delimiter but is not one must pass through.
  const std::string tricky = "a\r\n--" + kBoundary.substr(0, 10) + "\r\n-\r\nz";
  struct Case {
    const char* what;
    std::string body;
    std::vector<std::string> names;
    std::vector<std::string> data;
  } cases[] = {
      {"as the library sends it (no CRLF at the end)",
       part("file", tricky).substr(0, part("file", tricky).size() - 2) + "\r\n--" + kBoundary + "--",
       {"file"}, {tricky}},
      {"with CRLF, preamble and epilogue",
       "preamble\r\n" + part("file", "") + "--" + kBoundary + "--\r\nepilogue", {"file"}, {""}},
      {"two parts", part("note", "hello") + part("file", tricky) + "--" + kBoundary + "--",
       {"note", "file"}, {"hello", tricky}},
  };
  for (const auto& c : cases) {
    // Every chunk size, so that a delimiter falls across every feed boundary.
    for (std::size_t chunk = 1; chunk <= c.body.size(); ++chunk) {
      const Parsed parsed = parse(c.body, chunk);
      EXPECT_TRUE(parsed.fed && parsed.complete) << c.what << ", chunk " << chunk;
      EXPECT_EQ(parsed.names, c.names) << c.what << ", chunk " << chunk;
      EXPECT_EQ(parsed.data, c.data) << c.what << ", chunk " << chunk;
    }
  }
}

TEST(MultipartReaderTest, IncompleteOrMalformedBodies) {
  struct Case {
    const char* what;
    std::string body;
    bool fed;
  } cases[] = {
      {"cut off in the data", part("file", "abc").substr(0, 100), true},
      {"no close delimiter", part("file", "abc"), true},
      {"garbage after a boundary", "--" + kBoundary + "xyz\r\n\r\ndata", false},
      {"header line without colon", "--" + kBoundary + "\r\nnot a header\r\n\r\ndata", false},
      {"headers that never end", "--" + kBoundary + "\r\nX: " + std::string(20000, 'h'), false},
  };
  for (const auto& c : cases) {
    const Parsed parsed = parse(c.body, 5);
    EXPECT_EQ(parsed.fed, c.fed) << c.what;
    EXPECT_FALSE(parsed.complete) << c.what;
  }
}

TEST(MultipartReaderTest, BoundaryOfContentType) {
  EXPECT_EQ(MultipartReader::boundaryOf("multipart/form-data; boundary=" + kBoundary), kBoundary);
  EXPECT_EQ(MultipartReader::boundaryOf("Multipart/Form-Data; charset=utf-8; boundary=\"a b\""),
            "a b");
  EXPECT_FALSE(MultipartReader::boundaryOf("multipart/form-data"));
  EXPECT_FALSE(MultipartReader::boundaryOf("text/plain; boundary=x"));
  EXPECT_FALSE(MultipartReader::boundaryOf("multipart/form-data; boundary=" + std::string(71, 'b')));
}

}  // namespace
}  // namespace nb::server
