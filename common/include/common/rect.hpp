#pragma once

#include <optional>

namespace common {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

// A rectangle in global display space: origin at the top left, y growing downwards.
// Widths and heights are expected to be non-negative; operations normalise negative ones.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const;
    double minY() const;
    double maxX() const;
    double maxY() const;
    double midX() const { return (minX() + maxX()) / 2; }
    double midY() const { return (minY() + maxY()) / 2; }
    Point midpoint() const { return {midX(), midY()}; }
    double area() const;
    // True when the width or the height is zero.
    bool isEmpty() const;
    // Minimum edges are inside, maximum edges outside.
    bool contains(Point p) const;
    bool operator==(const Rect&) const = default;
};

// The common part of two rectangles; none when they do not meet at all. Rectangles that only
// touch along an edge meet in a rectangle of zero width or height.
std::optional<Rect> intersection(const Rect& a, const Rect& b);

// True when the two rectangles share an area greater than zero (touching edges do not overlap).
bool overlaps(const Rect& a, const Rect& b);

}  // namespace common
