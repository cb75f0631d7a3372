#include <gtest/gtest.h>

#include "common/rect.hpp"

using common::Point;
using common::Rect;

TEST(Rect, ContainmentIncludesMinimumEdgesOnly) {
    const Rect r{10, 20, 100, 50};
    EXPECT_TRUE(r.contains(Point{10, 20}));
    EXPECT_TRUE(r.contains(Point{109.999, 69.999}));
    EXPECT_FALSE(r.contains(Point{110, 30}));
    EXPECT_FALSE(r.contains(Point{50, 70}));
    EXPECT_FALSE(r.contains(Point{9.999, 30}));
}

TEST(Rect, IntersectionAndOverlap) {
    const Rect a{0, 0, 100, 100};
    const Rect b{50, 60, 100, 100};
    ASSERT_TRUE(common::intersection(a, b));
    EXPECT_EQ(*common::intersection(a, b), (Rect{50, 60, 50, 40}));
    EXPECT_TRUE(common::overlaps(a, b));
    // Touching along an edge meets in a line but does not overlap.
    const Rect touching{100, 0, 50, 50};
    ASSERT_TRUE(common::intersection(a, touching));
    EXPECT_EQ(common::intersection(a, touching)->width, 0);
    EXPECT_FALSE(common::overlaps(a, touching));
    EXPECT_FALSE(common::intersection(a, Rect{200, 200, 5, 5}));
}

TEST(Rect, MidpointAreaEmptiness) {
    const Rect r{-1920, 0, 1920, 1080};
    EXPECT_EQ(r.midpoint(), (Point{-960, 540}));
    EXPECT_DOUBLE_EQ(r.area(), 1920.0 * 1080.0);
    EXPECT_TRUE((Rect{5, 5, 0, 10}).isEmpty());
    EXPECT_FALSE(r.isEmpty());
    // Negative sizes are normalised by the accessors.
    const Rect flipped{100, 100, -50, -20};
    EXPECT_EQ(flipped.minX(), 50);
    EXPECT_EQ(flipped.maxY(), 100);
}
