// ImageView shows an image (PNG or JPEG, see Image) scaled to its bounds; an
// empty image shows nothing. Main thread only.
#pragma once

#include "nb/ui/toolkit/Image.h"
#include "nb/ui/toolkit/View.h"

namespace nb::ui {

class ImageView : public View {
 public:
  explicit ImageView(const Rect& frame = {}) : View(frame) {}

  const Image& image() const { return image_; }
  void setImage(Image image) { image_ = std::move(image), setNeedsDisplay(); }

  void drawRect(DrawingContext& context, const Rect&) override {
    context.drawImage(image_, bounds());
  }

 private:
  Image image_;
};

}  // namespace nb::ui
