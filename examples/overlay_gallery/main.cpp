// Renders the progress overlay in its modes over a phone-sized screen and
// writes one PNG per mode into the given folder (the README's pictures):
//   overlay_gallery docs/images
#include <iostream>
#include <string>

#include "nb/ui/FxActivityIndicator.h"
#include "nb/ui/toolkit/Renderer.h"
#include "nb/ui/toolkit/Window.h"

namespace {

// A check mark, as an application might pass for the custom-view mode.
class CheckMark : public nb::ui::View {
 public:
  CheckMark() : View(nb::ui::Rect(0, 0, 37, 37)) { setOpaque(false); }
  void drawRect(nb::ui::DrawingContext& c, const nb::ui::Rect&) override {
    c.setStrokeColor(nb::ui::Color::white());
    c.setLineWidth(4);
    c.beginPath();
    c.moveToPoint(6, 19);
    c.addLineToPoint(15, 28);
    c.addLineToPoint(31, 9);
    c.strokePath();
  }
};

// A stand-in for an application's screen under the overlay.
std::shared_ptr<nb::ui::Window> screen() {
  using nb::ui::Color;
  using nb::ui::Rect;
  auto window = std::make_shared<nb::ui::Window>(Rect(0, 0, 320, 480));
  window->setBackgroundColor({0.93, 0.94, 0.96, 1});
  auto bar = std::make_shared<nb::ui::View>(Rect(0, 0, 320, 44));
  bar->setBackgroundColor({0.16, 0.45, 0.85, 1});
  window->addSubview(bar);
  for (int i = 0; i < 6; ++i) {
    auto row = std::make_shared<nb::ui::View>(Rect(16, 64 + i * 64, 288, 48));
    row->setBackgroundColor(Color::white());
    window->addSubview(row);
  }
  return window;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: overlay_gallery OUTPUT_FOLDER\n";
    return 2;
  }
  const std::string out = argv[1];
  struct Shot {
    const char* file;
    int mode;
    bool dim;
    const char* label;
    const char* details;
  };
  const Shot shots[] = {
      {"overlay-indeterminate.png", 0, false, "授权中...", nullptr},
      {"overlay-determinate.png", 1, false, "上传中...", "25%"},
      {"overlay-custom-view.png", 2, false, "上传成功", nullptr},
      {"overlay-dimmed.png", 0, true, "Loading", "please wait"},
  };
  for (const Shot& shot : shots) {
    auto window = screen();
    auto hud = nb::FxActivityIndicator::showHUDAddedTo(window.get(), false);
    hud->setCustomView(std::make_shared<CheckMark>());
    hud->setMode(shot.mode);
    hud->setProgress(0.25f);
    hud->setDimBackground(shot.dim);
    hud->setLabelText(shot.label);
    if (shot.details != nullptr) hud->setDetailsLabelText(shot.details);
    const nb::Status status = nb::ui::Renderer::renderToPng(*window, out + "/" + shot.file, 2.0);
    if (!status.ok()) {
      std::cerr << "overlay_gallery: " << status.message() << "\n";
      return 1;
    }
  }
  return 0;
}
