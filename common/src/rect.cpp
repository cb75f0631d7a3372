#include "common/rect.hpp"

#include <algorithm>

namespace common {

double Rect::minX() const { return width < 0 ? x + width : x; }
double Rect::minY() const { return height < 0 ? y + height : y; }
double Rect::maxX() const { return width < 0 ? x : x + width; }
double Rect::maxY() const { return height < 0 ? y : y + height; }
double Rect::area() const { return (maxX() - minX()) * (maxY() - minY()); }
bool Rect::isEmpty() const { return width == 0 || height == 0; }

bool Rect::contains(Point p) const {
    return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
}

std::optional<Rect> intersection(const Rect& a, const Rect& b) {
    const double left = std::max(a.minX(), b.minX());
    const double top = std::max(a.minY(), b.minY());
    const double right = std::min(a.maxX(), b.maxX());
    const double bottom = std::min(a.maxY(), b.maxY());
    if (right < left || bottom < top) return std::nullopt;
    return Rect{left, top, right - left, bottom - top};
}

bool overlaps(const Rect& a, const Rect& b) {
    const auto common = intersection(a, b);
    return common && common->width > 0 && common->height > 0;
}

}  // namespace common
