#include "server/ContentEndpoints.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "server/MultipartReader.h"

namespace nb::server {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

// Receives the upload body into a blob writer, counting what it would have
// written past the size limit instead of storing it.
class UploadSink {
 public:
  UploadSink(const BlobStore& blobs, std::int64_t limit) : blobs_(blobs), limit_(limit) {}

  void startPart(bool isFile) {
    inFile_ = isFile && !writer_ && !failed_;
    if (inFile_) {
      writer_ = blobs_.begin();
      if (!writer_) failed_ = true, inFile_ = false;
    }
  }
  bool receive(const char* data, std::size_t size) {
    if (!inFile_) return true;
    received_ += static_cast<std::int64_t>(size);
    if (received_ > limit_) {
      tooLarge_ = true;
      return true;  // keep reading, so the reply reaches a client still sending
    }
    if (!writer_->write(data, size)) failed_ = true;
    return true;
  }

  bool tooLarge() const { return tooLarge_; }
  bool failed() const { return failed_; }
  bool hasFile() const { return writer_ != nullptr; }
  BlobStore::Writer& writer() { return *writer_; }

 private:
  const BlobStore& blobs_;
  std::int64_t limit_;
  std::unique_ptr<BlobStore::Writer> writer_;
  std::int64_t received_ = 0;
  bool inFile_ = false;
  bool tooLarge_ = false;
  bool failed_ = false;
};

}  // namespace

namespace {

// A multipart body carries its part headers and delimiters besides the file:
// a declared length this much above a limit may still hold a file within it,
// and is judged once the file has been read.
constexpr std::int64_t kMultipartSlack = 16 * 1024;

struct UploadTarget {
  std::string root;
  std::string path;
  bool overwrite = false;
  std::int64_t replaced = 0;  // size of the file an overwrite replaces
};

// Judges an upload by its request line and headers: the place it goes, and
// the declared length against the user's size limit and quota. Replies with
// the refusal and returns false.
bool judgeUpload(Call& call, UploadTarget* target) {
  if (!call.location(&target->root, &target->path)) return false;
  if (const auto text = call.param("overwrite")) {
    if (*text != "True" && *text != "False" && *text != "true" && *text != "false") {
      return call.fail(400, "bad parameters"), false;
    }
    target->overwrite = *text == "True" || *text == "true";
  }
  if (target->path == "/") return call.fail(403, "file exist"), false;
  const auto owner = call.owner(target->root);
  const auto parent = call.context.tree.find(owner, StoragePath::parent(target->path));
  if (!parent || !parent->isDir) return call.fail(404, "file not exist"), false;
  const auto existing = call.context.tree.find(owner, target->path);
  if (existing && (existing->isDir || !target->overwrite)) {
    return call.fail(403, "file exist"), false;
  }
  target->replaced = existing ? existing->size : 0;
  if (const auto length = call.contentLength()) {
    const std::int64_t slack =
        MultipartReader::boundaryOf(call.contentType()) ? kMultipartSlack : 0;
    const std::int64_t file = std::max<std::int64_t>(0, *length - slack);
    if (file > call.user().maxFileSize) return call.fail(413, "file too large"), false;
    const std::int64_t used = call.context.tree.usedBytes(call.user().id) - target->replaced;
    if (used + file > call.user().quotaTotal) return call.fail(507, "over space"), false;
  }
  return true;
}

}  // namespace

void ContentEndpoints::registerRoutes(ServiceRouter& router) {
  router.get(HostRole::kContent, "/1/fileops/upload_locate", uploadLocate);
  router.postStream(HostRole::kContent, "/1/fileops/upload_file", uploadFile, [](Call& call) {
    UploadTarget target;
    return call.preview(Call::Access::kAccessToken) && judgeUpload(call, &target);
  });
  router.get(HostRole::kContent, "/1/fileops/download_file", downloadFile);
}

void ContentEndpoints::uploadLocate(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  // This emulator is its own single upload node, on the host the client used.
  call.reply(JsonReply().text("url", call.baseUrl()));
}

void ContentEndpoints::uploadFile(Call& call, const httplib::ContentReader& reader) {
  // We parse a multipart body ourselves, as it streams in: a body whose close
  // delimiter ends it without a CRLF is complete, and is accepted.
  const std::string contentType = call.contentType();
  // Whatever can be refused from the headers is refused before the body is
  // asked for; the reply goes out at once and the connection closes after it.
  const auto refuseUnread = [&] { call.refuseUnread(reader); };
  if (!call.authenticate(Call::Access::kAccessToken)) return refuseUnread();
  UploadTarget target;
  if (!judgeUpload(call, &target)) return refuseUnread();

  UploadSink sink(call.context.blobs, call.user().maxFileSize);
  bool read = false;
  if (const auto boundary = MultipartReader::boundaryOf(contentType)) {
    MultipartReader parts(
        *boundary, [&](const std::string& name) { sink.startPart(name == "file"); },
        [&](const char* data, std::size_t size) { sink.receive(data, size); });
    // A malformed body is still read to its end; it is refused afterwards.
    read = reader([&](const char* data, std::size_t size) {
             parts.feed(data, size);
             return true;
           }) &&
           parts.complete();
  } else if (contentType.rfind("multipart/", 0) == 0) {
    return call.refuseUnread(400, "bad request", reader);
  } else {
    // A plain body is the file itself.
    sink.startPart(true);
    read = reader([&](const char* data, std::size_t size) { return sink.receive(data, size); });
  }
  if (!read) return call.fail(400, "bad request");
  if (sink.failed()) return call.fail(500, "commit fail");
  if (sink.tooLarge()) return call.fail(413, "file too large");
  if (!sink.hasFile()) return call.fail(400, "bad parameters");
  const auto blob = sink.writer().seal();
  if (!blob) return call.fail(500, "commit fail");

  // The blob is kept only once the tree has taken the file (quota and name
  // checked again under the lock: another upload may have come first).
  const auto stored =
      call.context.tree.putFile(call.owner(target.root), target.path, *blob, target.overwrite,
                                call.user().quotaTotal, [&] { return sink.writer().place(); });
  if (!stored.ok()) return failTree(call, stored.status());
  call.reply(entryJson(target.root, *stored));
}

bool ContentEndpoints::sendBlob(Call& call, const Entry& entry, const std::string& contentType) {
  const int fd = ::open(call.context.blobs.pathOf(entry.blob).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  auto file = std::shared_ptr<int>(new int(fd), [](int* p) {
    ::close(*p);
    delete p;
  });
  call.response.status = 200;
  call.response.set_content_provider(
      static_cast<std::size_t>(entry.size), contentType,
      [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        char buffer[kChunk];
        const std::size_t want = std::min(length, sizeof buffer);
        const ssize_t n = ::pread(*file, buffer, want, static_cast<off_t>(offset));
        if (n <= 0) return false;  // the blob shrank: end the response early
        return sink.write(buffer, static_cast<std::size_t>(n));
      });
  return true;
}

void ContentEndpoints::downloadFile(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root, path;
  if (!call.location(&root, &path)) return;
  const auto entry = call.context.tree.find(call.owner(root), path);
  if (!entry) return call.fail(404, "file not exist");
  if (entry->isDir) return call.fail(403, "forbidden");
  if (!sendBlob(call, *entry, "application/octet-stream")) call.fail(500, "server error");
}

}  // namespace nb::server
