#include "server/ConversionEndpoints.h"

#include <charconv>
#include <fstream>
#include <iterator>

#include "server/DocumentRenderer.h"
#include "server/ImageRenderer.h"
#include "server/ZipWriter.h"

namespace nb::server {
namespace {

constexpr int kMaxThumbnailSide = 4096;

std::optional<int> sideParam(const std::optional<std::string>& text) {
  int value = 0;
  if (!text) return std::nullopt;
  const auto* end = text->data() + text->size();
  const auto [ptr, ec] = std::from_chars(text->data(), end, value);
  if (ec != std::errc() || ptr != end || value < 1 || value > kMaxThumbnailSide) {
    return std::nullopt;
  }
  return value;
}

// A stored file of the caller, or a reply explaining why there is none.
std::optional<Entry> storedFile(Call& call, std::string* root) {
  std::string path;
  if (!call.location(root, &path)) return std::nullopt;
  auto entry = call.context.tree.find(call.owner(*root), path);
  if (!entry) {
    call.fail(404, "file not exist");
    return std::nullopt;
  }
  if (entry->isDir) {
    call.fail(403, "forbidden");
    return std::nullopt;
  }
  return entry;
}

}  // namespace

void ConversionEndpoints::registerRoutes(ServiceRouter& router) {
  router.get(HostRole::kConversion, "/1/fileops/thumbnail", thumbnail);
  router.get(HostRole::kConversion, "/1/fileops/documentView", documentView);
}

void ConversionEndpoints::thumbnail(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root;
  const auto entry = storedFile(call, &root);
  if (!entry) return;
  const auto width = sideParam(call.param("width"));
  const auto height = sideParam(call.param("height"));
  if (!width || !height) return call.fail(400, "bad parameters");
  std::string png;
  switch (ImageRenderer::thumbnail(call.context.blobs.pathOf(entry->blob), *width, *height, &png)) {
    case ImageRenderer::Thumbnail::kOk:
      return call.response.set_content(png, "image/png");
    case ImageRenderer::Thumbnail::kTooLarge:
      return call.fail(413, "file too large");
    case ImageRenderer::Thumbnail::kNotAnImage:
      return call.fail(415, "unsupported file type");
  }
}

void ConversionEndpoints::documentView(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root;
  const auto entry = storedFile(call, &root);
  if (!entry) return;
  const std::string zip = call.param("zip").value_or("0");
  const std::string type = call.param("type").value_or(StoragePath::extension(entry->path));
  const std::string view = call.param("view").value_or("iphone");
  if ((zip != "0" && zip != "1") || (view != "iphone" && view != "iPad")) {
    return call.fail(400, "bad parameters");
  }
  if (!DocumentRenderer::supports(type)) return call.fail(415, "unsupported document type");
  if (entry->size > kMaxDocument) return call.fail(413, "file too large");

  std::ifstream in(call.context.blobs.pathOf(entry->blob), std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return call.fail(500, "server error");
  const auto html = DocumentRenderer::render(type, view, entry->name, content);
  if (!html) return call.fail(415, "unsupported document type");
  if (zip == "1") {
    ZipWriter archive;
    archive.add("index.html", *html);
    return call.response.set_content(archive.finish(), "application/zip");
  }
  call.response.set_content(*html, "text/html; charset=utf-8");
}

}  // namespace nb::server
