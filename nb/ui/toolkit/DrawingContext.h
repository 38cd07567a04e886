// DrawingContext is the 2-D drawing surface handed to View::drawRect: colours,
// line width, ellipses, arc paths, radial gradients, text and images, in the
// view's own coordinates (y grows downwards). It wraps a cairo context that
// the renderer owns; a view must not keep it beyond drawRect.
#pragma once

#include <string>

#include "nb/ui/toolkit/Font.h"
#include "nb/ui/toolkit/Geometry.h"

typedef struct _cairo cairo_t;

namespace nb::ui {

class Image;

enum class TextAlignment { kLeft, kCenter, kRight };

class DrawingContext {
 public:
  explicit DrawingContext(cairo_t* cr) : cr_(cr) {}

  void setFillColor(Color c) { fill_ = c; }
  void setStrokeColor(Color c) { stroke_ = c; }
  void setLineWidth(double w) { lineWidth_ = w; }

  void fillRect(const Rect& r);
  void fillEllipseInRect(const Rect& r);
  void strokeEllipseInRect(const Rect& r);

  // Path building. Angles in radians; with clockwise false the arc runs with
  // increasing angle, which turns clockwise on screen.
  void beginPath();
  void moveToPoint(double x, double y);
  void addLineToPoint(double x, double y);
  void addArc(double cx, double cy, double radius, double startAngle, double endAngle,
              bool clockwise);
  void closePath();
  void fillPath();
  void strokePath();

  // A two-stop radial gradient between concentric circles at `centre`; the end
  // colour also fills everything beyond the end circle.
  void drawRadialGradient(Point centre, double startRadius, Color startColor, double endRadius,
                          Color endColor);

  // Text in `rect`, vertically centred, aligned horizontally: wrapped onto
  // as many lines as the rect's height holds (at least one), the last one
  // cut with an ellipsis when the text does not fit.
  void drawText(const std::string& text, const Font& font, Color color, const Rect& rect,
                TextAlignment alignment);
  // Draws `image` scaled to fill `rect`.
  void drawImage(const Image& image, const Rect& rect);

  cairo_t* cairo() const { return cr_; }

 private:
  void setSource(Color c);
  cairo_t* cr_;
  Color fill_ = Color::black();
  Color stroke_ = Color::black();
  double lineWidth_ = 1;
};

}  // namespace nb::ui
