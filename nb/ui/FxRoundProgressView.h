// FxRoundProgressView shows a fraction as a pie: a faint white disc with a
// white outline, filled clockwise from the top by a white sector. The progress
// overlay uses it as its determinate indicator. Main thread only.
#pragma once

#include "nb/ui/toolkit/View.h"

namespace nb {

class FxRoundProgressView : public ui::View {
 public:
  // 37 × 37 points at the origin.
  FxRoundProgressView();
  explicit FxRoundProgressView(const ui::Rect& frame);

  float progress() const { return _progress; }
  // Stores the value as given (no clamping) and marks the view for drawing.
  void setProgress(float progress);

  void drawRect(ui::DrawingContext& context, const ui::Rect& rect) override;

 private:
  float _progress = 0.0f;
};

}  // namespace nb
