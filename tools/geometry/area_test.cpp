// SPDX-License-Identifier: MIT
// The rectangle each request refreshes, and how rectangles meet.
#include "area.h"

#include <gtest/gtest.h>

namespace zodm::geometry {
namespace {

TEST(Area, RefreshedRectOfEachRequest) {
  const struct {
    const char* name;
    DmCommand command;
    std::optional<Rect> rect;
  } kCases[] = {
      {"full", {DM_CMD_DISPLAY, 1, 2, 5, 5, 9, 9}, kWholeArea},
      {"erase", {DM_CMD_ERASE_TO_WHITE, 3, 0, 0, 0, 0, 0}, kWholeArea},
      {"partial",
       {DM_CMD_DISPLAY_PARTIAL, 0, 0, 10, 20, 200, 300},
       Rect{10, 20, 200, 300}},
      {"corners reversed",
       {DM_CMD_DISPLAY_PARTIAL, 0, 0, 200, 300, 10, 20},
       Rect{10, 20, 200, 300}},
      {"cut to the area",
       {DM_CMD_DISPLAY_PARTIAL, 0, 0, -5, 2000, 900, 7},
       Rect{0, 7, DM_MAX_X, DM_MAX_Y}},
      {"dump", {DM_CMD_DUMP, 7, 0, 0, 0, 0, 0}, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.rect, refreshedRect(c.command));
  }
}

TEST(Area, OverlapTouchAndBox) {
  const Rect a{0, 0, 100, 100};
  const struct {
    Rect b;
    bool overlap, touching;
  } kCases[] = {
      {{100, 0, 200, 100}, true, true},     // shares column 100
      {{101, 0, 200, 100}, false, true},    // next to it
      {{101, 101, 200, 200}, false, true},  // corner to corner
      {{102, 0, 200, 100}, false, false},  {{0, 102, 100, 200}, false, false},
      {{20, 20, 30, 30}, true, true},  // inside
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.b.x0 * 1000 + c.b.y0);
    EXPECT_EQ(c.overlap, overlap(a, c.b));
    EXPECT_EQ(c.overlap, overlap(c.b, a));
    EXPECT_EQ(c.touching, touching(a, c.b));
    EXPECT_EQ(c.touching, touching(c.b, a));
  }
  EXPECT_EQ((Rect{0, 0, 200, 300}), boundingBox(a, {150, 20, 200, 300}));
  EXPECT_EQ(101, a.width());
}

}  // namespace
}  // namespace zodm::geometry
