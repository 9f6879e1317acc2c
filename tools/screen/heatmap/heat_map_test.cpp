// SPDX-License-Identifier: MIT
// The emulator's state, totals and colour scale, without sockets or cairo.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "heatMap.h"
#include "heatMapSequence.h"

namespace zodm::screen {
namespace {

TEST(HeatMap, CountsAndLastRequestPerCell) {
  const HeatMap s = sequence();
  const struct {
    int x, y;
    uint16_t count;
    RequestKind kind;
    unsigned long long request;
  } kCells[] = {
      {0, 0, 2, RequestKind::Erase, 4},
      {768, 1024, 2, RequestKind::Erase, 4},
      {10, 20, 3, RequestKind::Erase, 4},    // the reversed rectangle's corners
      {200, 300, 3, RequestKind::Erase, 4},  // are both inside it
      {9, 20, 2, RequestKind::Erase, 4},
      {200, 301, 2, RequestKind::Erase, 4},
      {100, 150, 4, RequestKind::Erase, 4},  // in both rectangles
      {150, 250, 4, RequestKind::Erase, 4},
  };
  for (const auto& c : kCells) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    EXPECT_EQ(c.count, s.count(c.x, c.y));
    EXPECT_EQ(c.kind, s.lastKind(c.x, c.y));
    EXPECT_EQ(c.request, s.lastRequest(c.x, c.y));
  }
  EXPECT_EQ(4, s.maxCount());

  HeatMap partialOnly;
  partialOnly.apply(partial(768, 1024, 700, 1000));
  EXPECT_EQ(RequestKind::Partial, partialOnly.lastKind(768, 1024));
  EXPECT_EQ(RequestKind::None, partialOnly.lastKind(699, 1024));
  EXPECT_EQ(0u, partialOnly.lastRequest(699, 1024));
}

TEST(HeatMap, LastRequestPerRow) {
  HeatMap s;
  s.apply(partial(0, 10, 5, 20));            // #1: rows 10..20
  s.apply({DM_CMD_DUMP, 7, 0, 0, 0, 0, 0});  // #2: no row
  s.apply(partial(700, 15, 768, 12));        // #3: rows 12..15
  const struct {
    int y;
    unsigned long long request;
  } kRows[] = {{0, 0},  {9, 0},  {10, 1}, {11, 1}, {12, 3},
               {15, 3}, {16, 1}, {20, 1}, {21, 0}, {1024, 0}};
  for (const auto& r : kRows) {
    SCOPED_TRACE(r.y);
    EXPECT_EQ(r.request, s.rowRequest(r.y));
  }
  EXPECT_EQ(1, s.row(10)[5]);
  EXPECT_EQ(0, s.row(10)[6]);
  s.apply({DM_CMD_ERASE_TO_WHITE, 0, 0, 0, 0, 0, 0});  // #4: every row
  EXPECT_EQ(4u, s.rowRequest(0));
  EXPECT_EQ(4u, s.rowRequest(1024));
}

TEST(HeatMap, CaptionTotals) {
  EXPECT_EQ(std::vector<std::string>({
                "accepted 5, refused 2",
                "full updates 1, partial 2, erases 1, dumps 1",
                "by priority 0: 0, 1: 1, 2: 2, 3: 1",
                "by quality 0: 0, 1: 1, 2: 1, 3: 1",
                "most refreshed cell: 4 times",
            }),
            sequence().caption());
  // One refresh is one "time"; none, or more, are "times".
  for (const auto& [requests, last] : std::vector<std::pair<int, std::string>>{
           {0, "most refreshed cell: 0 times"},
           {1, "most refreshed cell: 1 time"},
           {2, "most refreshed cell: 2 times"}}) {
    HeatMap s(3);
    for (int i = 0; i < requests; ++i) s.apply(partial(0, 0, 1, 1));
    EXPECT_EQ(last, s.caption().back());
  }
}

TEST(HeatMap, CountsSaturateAndMemoryStaysFixed) {
  HeatMap s(3);
  for (int i = 0; i < 70000; ++i) s.apply(partial(0, 0, 1, 1));
  EXPECT_EQ(kMaxCount, s.count(1, 1));
  EXPECT_EQ(kMaxCount, s.maxCount());
  EXPECT_EQ(0, s.count(2, 2));
  // Only the last three rectangles are kept, oldest first.
  ASSERT_EQ(3u, s.recent().size());
  EXPECT_EQ(69998u, s.recent().front().request);
  EXPECT_EQ(70000u, s.recent().back().request);
  // Corners outside the area are cut to it rather than written past it.
  s.apply(partial(-5, -5, 100000, 2));
  EXPECT_EQ(1, s.count(768, 2));
  EXPECT_EQ(HeatMap(1000).recentCapacity(), kMaxRecent);
}

// Full updates and erases are counted once for the whole map; a cell's
// count, its row's counts, the most refreshed cell and what refreshed a
// cell last read as if every cell had been visited.
TEST(HeatMap, WholeAreaRefreshesReadAsEveryCell) {
  constexpr DmCommand kFull{DM_CMD_DISPLAY, 0, 1, 0, 0, 0, 0};
  constexpr DmCommand kErase{DM_CMD_ERASE_TO_WHITE, 0, 0, 0, 0, 0, 0};
  HeatMap s;
  s.apply(partial(0, 0, 9, 9));      // #1
  s.apply(kFull);                    // #2
  s.apply(partial(14, 14, 5, 5));    // #3
  s.apply(kErase);                   // #4
  s.apply(kFull);                    // #5
  s.apply(partial(100, 0, 100, 0));  // #6
  const struct {
    int x, y;
    uint16_t count;
    RequestKind kind;
    unsigned long long request;
  } kCells[] = {
      {0, 0, 4, RequestKind::Full, 5},      {5, 5, 5, RequestKind::Full, 5},
      {12, 12, 4, RequestKind::Full, 5},    {400, 900, 3, RequestKind::Full, 5},
      {100, 0, 4, RequestKind::Partial, 6},
  };
  for (const auto& c : kCells) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    EXPECT_EQ(c.count, s.count(c.x, c.y));
    EXPECT_EQ(c.count, s.row(c.y)[c.x]);
    EXPECT_EQ(c.count, s.count(c.x, c.y));  // the same once the row is read
    EXPECT_EQ(c.kind, s.lastKind(c.x, c.y));
    EXPECT_EQ(c.request, s.lastRequest(c.x, c.y));
    EXPECT_EQ(c.y == 0 ? 6u : 5u, s.rowRequest(c.y));
  }
  EXPECT_EQ(5, s.maxCount());
  EXPECT_EQ("full updates 2, partial 3, erases 1, dumps 0", s.caption()[1]);

  // Counts stop at 65535 alike, read through a row or a cell.
  HeatMap many;
  for (int i = 0; i < 65534; ++i) many.apply(kFull);
  EXPECT_EQ(65534, many.maxCount());
  many.apply(partial(0, 0, 0, 0));
  many.apply(partial(0, 0, 0, 0));
  EXPECT_EQ(kMaxCount, many.count(0, 0));
  EXPECT_EQ(kMaxCount, many.maxCount());
  EXPECT_EQ(65534, many.row(0)[1]);
  EXPECT_EQ(kMaxCount, many.row(0)[0]);
  many.apply(kErase);
  EXPECT_EQ(kMaxCount, many.row(0)[1]);
  EXPECT_EQ(kMaxCount, many.count(768, 1024));
}

TEST(HeatColour, EndsOfTheScale) {
  const auto rgb = [](const Rgb& c) {
    return static_cast<uint32_t>(std::lround(c.r * 255)) << 16 |
           static_cast<uint32_t>(std::lround(c.g * 255)) << 8 |
           static_cast<uint32_t>(std::lround(c.b * 255));
  };
  EXPECT_EQ(0xffffffu, rgb(heatColour(0, 5)));
  EXPECT_EQ(0xffeda0u, rgb(heatColour(1, 5)));  // 1 is always the lightest
  EXPECT_EQ(0xffeda0u, rgb(heatColour(1, 1)));
  EXPECT_EQ(0x800026u, rgb(heatColour(5, 5)));
  EXPECT_EQ(0x800026u, rgb(heatColour(kMaxCount, kMaxCount)));
}

}  // namespace
}  // namespace zodm::screen
