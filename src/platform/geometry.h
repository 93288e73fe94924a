#pragma once

namespace tovel {

// Points are 64-bit floats. Which space a value is in (screen coordinates with y up, global
// display coordinates with y down, or display-local) is said where it is used.
struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }

  // Minimum edges belong to the rectangle, maximum edges do not.
  bool contains(Point p) const { return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }

  // True when the two rectangles share an area of non-zero size.
  bool intersects(const Rect& other) const {
    return width > 0 && height > 0 && other.width > 0 && other.height > 0 && x < other.maxX() &&
           other.x < maxX() && y < other.maxY() && other.y < maxY();
  }

  friend bool operator==(const Rect&, const Rect&) = default;
};

} // namespace tovel
