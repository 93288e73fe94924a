#include <gtest/gtest.h>

#include "platform/geometry.h"

namespace tovel {
namespace {

TEST(Rect, ContainsIncludesMinimumEdgesAndExcludesMaximumEdges) {
  Rect r{10, 20, 100, 50};
  EXPECT_TRUE(r.contains({10, 20}));
  EXPECT_TRUE(r.contains({109.999, 69.999}));
  EXPECT_FALSE(r.contains({110, 30}));
  EXPECT_FALSE(r.contains({50, 70}));
  EXPECT_FALSE(r.contains({9.999, 30}));
}

TEST(Rect, IntersectsNeedsSharedArea) {
  Rect a{0, 0, 100, 100};
  EXPECT_TRUE(a.intersects({99, 99, 10, 10}));
  EXPECT_FALSE(a.intersects({100, 0, 10, 10})); // touching edges only
  EXPECT_FALSE(a.intersects({10, 10, 0, 5}));   // empty rectangle
}

} // namespace
} // namespace tovel
