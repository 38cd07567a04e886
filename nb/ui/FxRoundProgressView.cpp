#include "nb/ui/FxRoundProgressView.h"

#include <cmath>

namespace nb {

FxRoundProgressView::FxRoundProgressView() : FxRoundProgressView(ui::Rect(0, 0, 37, 37)) {}

FxRoundProgressView::FxRoundProgressView(const ui::Rect& frame) : ui::View(frame) {
  setBackgroundColor(ui::Color::clear());
  setOpaque(false);
}

void FxRoundProgressView::setProgress(float progress) {
  _progress = progress;
  setNeedsDisplay();
}

void FxRoundProgressView::drawRect(ui::DrawingContext& context, const ui::Rect&) {
  const ui::Rect all = bounds();
  const double w = all.size.width, h = all.size.height;
  const ui::Rect circle = all.insetBy(2.0, 2.0);
  context.setStrokeColor(ui::Color::white(1.0));
  context.setFillColor(ui::Color::white(0.1));
  context.setLineWidth(2.0);
  context.fillEllipseInRect(circle);
  context.strokeEllipseInRect(circle);
  context.setFillColor(ui::Color::white(1.0));
  // The radius follows the width only: a view that is not square gets a
  // circle of its width inside an ellipse of its bounds.
  const double radius = (w - 4) / 2;
  const double start = -M_PI / 2;
  const double end = double(_progress) * 2 * M_PI - M_PI / 2;
  context.beginPath();
  context.moveToPoint(w / 2, h / 2);
  context.addArc(w / 2, h / 2, radius, start, end, false);
  context.closePath();
  context.fillPath();
}

}  // namespace nb
