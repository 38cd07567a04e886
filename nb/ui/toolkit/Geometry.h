// Plain geometry and colour values of the view toolkit: points, sizes,
// rectangles in points (y grows downwards), 2-D affine transforms and RGBA
// colours. Values only; safe to copy between threads.
#pragma once

#include <algorithm>
#include <cmath>

namespace nb::ui {

struct Point {
  double x = 0, y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0, height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  Point origin;
  Size size;
  Rect() = default;
  Rect(double x, double y, double w, double h) : origin{x, y}, size{w, h} {}
  double minX() const { return origin.x; }
  double minY() const { return origin.y; }
  double maxX() const { return origin.x + size.width; }
  double maxY() const { return origin.y + size.height; }
  double midX() const { return origin.x + size.width / 2; }
  double midY() const { return origin.y + size.height / 2; }
  bool contains(Point p) const {
    return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
  }
  // The rectangle shrunk by dx on the left and right and dy on top and bottom.
  Rect insetBy(double dx, double dy) const {
    return {origin.x + dx, origin.y + dy, size.width - 2 * dx, size.height - 2 * dy};
  }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// x' = a*x + c*y + tx, y' = b*x + d*y + ty.
struct AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static AffineTransform identity() { return {}; }
  static AffineTransform rotation(double radians) {
    const double s = std::sin(radians), co = std::cos(radians);
    return {co, s, -s, co, 0, 0};
  }
  static AffineTransform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
  // This transform followed by `then`.
  AffineTransform concat(const AffineTransform& then) const {
    return {a * then.a + b * then.c,
            a * then.b + b * then.d,
            c * then.a + d * then.c,
            c * then.b + d * then.d,
            tx * then.a + ty * then.c + then.tx,
            tx * then.b + ty * then.d + then.ty};
  }
  Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
  bool isIdentity() const { return *this == AffineTransform{}; }
  // Equal within rounding error of trigonometry.
  bool nearlyEquals(const AffineTransform& o, double eps = 1e-9) const {
    return std::fabs(a - o.a) < eps && std::fabs(b - o.b) < eps && std::fabs(c - o.c) < eps &&
           std::fabs(d - o.d) < eps && std::fabs(tx - o.tx) < eps && std::fabs(ty - o.ty) < eps;
  }
  friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

// Components 0.0 ... 1.0, not premultiplied.
struct Color {
  double r = 0, g = 0, b = 0, a = 0;
  static Color clear() { return {0, 0, 0, 0}; }
  static Color white(double alpha = 1) { return {1, 1, 1, alpha}; }
  static Color black(double alpha = 1) { return {0, 0, 0, alpha}; }
  static Color grey(double level, double alpha) { return {level, level, level, alpha}; }
  friend bool operator==(const Color&, const Color&) = default;
};

}  // namespace nb::ui
