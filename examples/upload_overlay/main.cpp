// Shows the progress overlay while a real upload runs: signs in, uploads a
// file into the app folder and writes one PNG frame of a phone-sized screen
// with the overlay at each progress step, then a last frame with the result.
//
//   nbserver --dev --data /tmp/nbs > /tmp/nbs.env &
//   eval "$(cat /tmp/nbs.env)"
//   nbserver user add --data /tmp/nbs alice@example.com secret
//   upload_overlay alice@example.com secret photo.jpg frames/
//
// The screen is the delegate of both calls and, as an
// NBOperationProgressDelegate, receives the upload progress.
// The consumer comes from NB_CONSUMER_KEY and NB_CONSUMER_SECRET, the server
// from NB_CONNECT_TO and NB_CA_FILE, as nbserver prints them.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBAuthOperationItem.h"
#include "nb/operations/NBUploadFileOperation.h"
#include "nb/operations/NBXAuthOperation.h"
#include "nb/platform/RunLoop.h"
#include "nb/ui/FxActivityIndicator.h"
#include "nb/ui/toolkit/Renderer.h"
#include "nb/ui/toolkit/Window.h"

namespace {

class Screen : public nb::NBOperationDelegate, public nb::NBOperationProgressDelegate {
 public:
  explicit Screen(std::filesystem::path out) : out_(std::move(out)) {
    window_->setBackgroundColor({0.93, 0.94, 0.96, 1});
    hud_ = nb::FxActivityIndicator::showHUDAddedTo(window_.get(), false);
    hud_->setMode(nb::FxActivityIndicator::kModeDeterminate);
    hud_->setLabelText("上传中...");
  }

  void operationSuccess(nb::NBOperation*, const nb::NBResult& result) override {
    if (auto token = result.recordAs<nb::NBToken>()) token_ = token;
    finished_ = true;
  }
  void operationFail(nb::NBOperation*, const std::string& message) override {
    failure_ = message;
    finished_ = true;
  }
  void operationTotalBytesWritten(nb::NBOperation*, std::int64_t written,
                                  std::int64_t expected) override {
    if (expected <= 0) return;
    hud_->setProgress(float(double(written) / double(expected)));
    hud_->setDetailsLabelText(std::to_string(written / 1024) + " / " +
                              std::to_string(expected / 1024) + " KB");
    frame();
  }

  // Call before starting a call: its outcome may arrive at once.
  void begin() {
    finished_ = false;
    failure_.clear();
  }
  // Runs the loop until the call reports; false on failure.
  bool wait() {
    nb::RunLoop::current().runUntil([this] { return finished_; }, std::chrono::minutes(5));
    return finished_ && failure_.empty();
  }
  void frame() {
    char name[32];
    std::snprintf(name, sizeof name, "frame-%03d.png", frames_++);
    nb::Status status = nb::ui::Renderer::renderToPng(*window_, (out_ / name).string());
    if (!status.ok()) std::cerr << "upload_overlay: " << status.message() << "\n";
  }

  std::shared_ptr<nb::NBToken> token_;
  std::string failure_;
  std::shared_ptr<nb::FxActivityIndicator> hud_;

 private:
  std::filesystem::path out_;
  std::shared_ptr<nb::ui::Window> window_ =
      std::make_shared<nb::ui::Window>(nb::ui::Rect(0, 0, 320, 480));
  bool finished_ = false;
  int frames_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: upload_overlay USER PASSWORD FILE OUTPUT_FOLDER\n";
    return 2;
  }
  const char* key = std::getenv("NB_CONSUMER_KEY");
  const char* secret = std::getenv("NB_CONSUMER_SECRET");
  if (key == nullptr || secret == nullptr) {
    std::cerr
        << "upload_overlay: set NB_CONSUMER_KEY and NB_CONSUMER_SECRET (nbserver prints them)\n";
    return 2;
  }
  std::ifstream in(argv[3], std::ios::binary);
  if (!in) {
    std::cerr << "upload_overlay: cannot read " << argv[3] << "\n";
    return 1;
  }
  std::ostringstream content;
  content << in.rdbuf();
  std::filesystem::create_directories(argv[4]);

  nb::RunLoop::current();  // the main thread's loop
  Screen screen(argv[4]);
  auto consumer = std::make_shared<nb::NBConsumer>(key, secret);

  auto login = std::make_shared<nb::NBAuthOperationItem>();
  login->consumer = consumer;
  login->userName = argv[1];
  login->password = argv[2];
  login->httpMethod = "POST";
  auto signIn = std::make_shared<nb::NBXAuthOperation>(&screen, login);
  screen.begin();
  signIn->executeOperation();
  if (!screen.wait() || !screen.token_) {
    std::cerr << "upload_overlay: sign-in failed: " << screen.failure_ << "\n";
    return 1;
  }
  // Held for this run only (one reference: instance() reloads from the
  // keychain while it holds no complete pair).
  nb::NBAPIInfo& info = nb::NBAPIInfo::instance();
  info.setConsumer(consumer);
  info.setToken(screen.token_);

  auto item = std::make_shared<nb::NBUploadFileOperationItem>();
  item->root = "app";
  item->fileName = std::filesystem::path(argv[3]).filename().string();
  item->path = "/" + *item->fileName;
  item->fileData = content.str();
  item->isOverwrite = true;
  auto upload = std::make_shared<nb::NBUploadFileOperation>(&screen, item);
  screen.frame();
  screen.begin();
  upload->executeOperation();
  const bool ok = screen.wait();
  screen.hud_->setLabelText(ok ? "上传成功" : screen.failure_);
  screen.hud_->setDetailsLabelText(std::nullopt);
  screen.frame();
  if (!ok) {
    std::cerr << "upload_overlay: upload failed: " << screen.failure_ << "\n";
    return 1;
  }
  std::cout << "uploaded " << item->fileData.size() << " bytes; frames in " << argv[4] << "\n";
  return 0;
}
