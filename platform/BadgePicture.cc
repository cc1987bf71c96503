#include "BadgePicture.h"

#include <algorithm>
#include <cmath>

namespace kestrond {
namespace {

struct Point {
  double x;
  double y;
};

struct Colour {
  double r, g, b;
};

constexpr Colour kRim{0xf2, 0xf4, 0xf7};
constexpr Colour kFace{0x1d, 0x4e, 0x89};
constexpr Colour kLetter{0xff, 0xff, 0xff};
constexpr Colour kOutline{0x10, 0x18, 0x20};
constexpr Colour kRunning{0x2e, 0xcc, 0x40};
constexpr Colour kChanging{0xff, 0xb0, 0x20};

// A stroke of the letter, from and to, in units of the side.
struct Stroke {
  Point from;
  Point to;
};
constexpr Stroke kLetterK[] = {
    {{0.35, 0.24}, {0.35, 0.76}}, {{0.71, 0.24}, {0.38, 0.54}}, {{0.47, 0.46}, {0.73, 0.76}}};

// Signed distances (negative inside) from a point to each shape.
double roundedSquare(Point p, double centre, double half, double radius) {
  double qx = std::abs(p.x - centre) - (half - radius);
  double qy = std::abs(p.y - centre) - (half - radius);
  double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
  return outside + std::min(std::max(qx, qy), 0.0) - radius;
}

// A straight stroke with flat ends: a box along the segment.
double stroke(Point p, Point from, Point to, double width) {
  double dx = to.x - from.x;
  double dy = to.y - from.y;
  double length = std::hypot(dx, dy);
  double ux = dx / length;
  double uy = dy / length;
  double mx = p.x - (from.x + to.x) / 2;
  double my = p.y - (from.y + to.y) / 2;
  double qx = std::abs(mx * ux + my * uy) - length / 2;
  double qy = std::abs(-mx * uy + my * ux) - width / 2;
  return std::hypot(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0);
}

double circle(Point p, Point centre, double radius) {
  return std::hypot(p.x - centre.x, p.y - centre.y) - radius;
}

// How much of a pixel a shape at this distance covers: its edge is
// smoothed over one pixel.
double inside(double distance) {
  return std::clamp(0.5 - distance, 0.0, 1.0);
}
// The same for a line `width` wide along the shape's edge.
double along(double distance, double width) {
  return std::clamp(width / 2 + 0.5 - std::abs(distance), 0.0, 1.0);
}

// One pixel being drawn: premultiplied, each layer laid over the last.
struct Pixel {
  double r = 0, g = 0, b = 0, a = 0;
  void over(Colour colour, double coverage) {
    r = colour.r * coverage + r * (1 - coverage);
    g = colour.g * coverage + g * (1 - coverage);
    b = colour.b * coverage + b * (1 - coverage);
    a = coverage + a * (1 - coverage);
  }
  uint32_t argb() const {
    if (a <= 0) return 0;
    auto channel = [this](double premultiplied) {
      return static_cast<uint32_t>(std::clamp(std::lround(premultiplied / a), 0L, 255L));
    };
    uint32_t alpha = static_cast<uint32_t>(std::lround(a * 255));
    return alpha << 24 | channel(r) << 16 | channel(g) << 8 | channel(b);
  }
};

}  // namespace

BadgePicture drawBadge(const std::string& title, int side, StatusMark mark) {
  BadgePicture picture;
  if (side < 1) return picture;
  picture.side = side;
  picture.pixels.resize(static_cast<size_t>(side) * side);
  const double s = side;
  const double pen = std::max(1.0, s / 16);
  const bool letter = title == "K";
  // The mark sits on the bottom right corner, over the rim, with a dark
  // outline so that it reads on light panels: a filled green dot while a
  // server runs, a hollow amber ring while one starts or stops. They
  // differ in form, not only in colour.
  const double diameter = s * 0.46;
  const Point spot{s - diameter / 2 - 0.5, s - diameter / 2 - 0.5};
  const double ring = diameter * 0.22;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const Point p{x + 0.5, y + 0.5};
      Pixel pixel;
      double face = roundedSquare(p, s / 2, (s - 2) / 2, s * 0.2);
      pixel.over(kFace, inside(face));
      pixel.over(kRim, along(face, pen));
      if (letter) {
        double nearest = 1e9;
        for (const Stroke& each : kLetterK) {
          nearest = std::min(nearest, stroke(p, {each.from.x * s, each.from.y * s},
                                             {each.to.x * s, each.to.y * s}, s * 0.13));
        }
        pixel.over(kLetter, inside(nearest));
      }
      if (mark != StatusMark::None) {
        double dot = circle(p, spot, diameter / 2);
        pixel.over(mark == StatusMark::Running ? kRunning : kOutline, inside(dot));
        pixel.over(kOutline, along(dot, pen));
        if (mark != StatusMark::Running) {
          double inset = pen / 2 + ring / 2;
          pixel.over(kChanging, along(circle(p, spot, diameter / 2 - inset), ring));
        }
      }
      picture.pixels[static_cast<size_t>(y) * side + x] = pixel.argb();
    }
  }
  return picture;
}

}  // namespace kestrond
