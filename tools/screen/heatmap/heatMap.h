// SPDX-License-Identifier: MIT
// The heat map of zodm-screen: what each cell of the display area went
// through (how often it was refreshed, and by which request), totals of the
// requests, and the colour scale it is drawn with. Drawing it is in
// heatMapPicture.h; this part needs nothing but the display area.
#ifndef ZODM_TOOLS_SCREEN_HEATMAP_H
#define ZODM_TOOLS_SCREEN_HEATMAP_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "area.h"
#include "zodm.h"

namespace zodm::screen {

using geometry::kHeight;
using geometry::kWidth;
using geometry::Rect;
using geometry::RequestKind;

// Refresh counts stop here instead of wrapping.
constexpr uint16_t kMaxCount = UINT16_MAX;

// How many partial rectangles the picture may outline at the most.
constexpr std::size_t kMaxRecent = 64;

// A partial update's rectangle and the number of the accepted request
// (counted from 1) that refreshed it.
struct Outlined {
  Rect rect;
  unsigned long long request;
};

struct Tally {
  unsigned long long accepted = 0;
  unsigned long long refused = 0;
  std::array<unsigned long long, 4> byCode{};      // indexed by DM_CMD_*
  std::array<unsigned long long, 4> byPriority{};  // updates and erases
  std::array<unsigned long long, 4> byQuality{};   // full and partial updates
};

// A full update and an erase (a whole-area refresh) cost the same whatever
// the area's size: each cell's count is its own partial refreshes plus the
// whole-area refreshes, kept once for the whole map and added to a row's
// cells only when the row is read as counts (row()). Every read is exact.
class HeatMap {
 public:
  // recent: how many of the last partial rectangles to keep (capped at
  // kMaxRecent).
  explicit HeatMap(std::size_t recent = 8);

  // Records an accepted request: a full update and an erase refresh every
  // cell, a partial update the rectangle between its corners in either order
  // (cut to the display area), a dump nothing.
  void apply(const DmCommand& command);
  // Records a refused text.
  void refuse() { ++tally_.refused; }

  uint16_t count(int x, int y) const {
    return saturated(counts_[index(x, y)], unapplied(y));
  }
  // The kWidth counts of row y, left to right. It brings the row's counts
  // up to date first, so it changes the map: call it only where apply may
  // be called.
  const uint16_t* row(int y);
  // Number of the accepted request that last refreshed a cell of row y; 0:
  // none. A reader that saw every row at request N needs to look again only
  // at the rows whose number is above N.
  unsigned long long rowRequest(int y) const {
    return std::max(rowRequests_[static_cast<std::size_t>(y)], lastWhole_);
  }
  // What last refreshed the cell; RequestKind::None: nothing.
  RequestKind lastKind(int x, int y) const;
  // Number of the accepted request that last refreshed the cell; 0: none.
  unsigned long long lastRequest(int x, int y) const {
    return std::max(requests_[index(x, y)], lastWhole_);
  }
  uint16_t maxCount() const { return maxCount_; }
  // The last partial rectangles, oldest first.
  const std::deque<Outlined>& recent() const { return recent_; }
  std::size_t recentCapacity() const { return recentCapacity_; }
  const Tally& tally() const { return tally_; }

  // The totals as the picture's caption shows them, one line each.
  std::vector<std::string> caption() const;

 private:
  static std::size_t index(int x, int y) { return geometry::pixelIndex(x, y); }
  // Whole-area refreshes not yet in row y's counts (at most kMaxCount, which
  // is all a count can take).
  uint16_t unapplied(int y) const {
    const unsigned long long n =
        whole_ - rowWhole_[static_cast<std::size_t>(y)];
    return static_cast<uint16_t>(std::min<unsigned long long>(n, kMaxCount));
  }
  static uint16_t saturated(uint16_t count, uint16_t more) {
    const unsigned sum = static_cast<unsigned>(count) + more;
    return static_cast<uint16_t>(sum < kMaxCount ? sum : kMaxCount);
  }
  void refresh(const Rect& r);

  // Per cell: its refreshes, but the whole-area ones after its row's
  // rowWhole_, and the last partial update that refreshed it.
  std::vector<uint16_t> counts_;
  std::vector<unsigned long long> requests_;
  std::vector<unsigned long long> rowRequests_;  // by partial updates
  std::vector<unsigned long long> rowWhole_;
  unsigned long long whole_ = 0;      // whole-area refreshes
  unsigned long long lastWhole_ = 0;  // the last one's request number
  RequestKind lastWholeKind_ = RequestKind::None;
  uint16_t maxCount_ = 0;
  std::deque<Outlined> recent_;
  std::size_t recentCapacity_;
  Tally tally_;
};

// Colour of the heat map, components 0..1.
struct Rgb {
  double r, g, b;
};

// A cell never refreshed.
constexpr Rgb kNeverColour{1.0, 1.0, 1.0};

// The heat map's scale, evenly spaced stops from 1 refresh (light yellow)
// through orange and red to the most refreshed cells (dark red).
constexpr std::array<Rgb, 4> kHeatScale{{{1.0, 237 / 255.0, 160 / 255.0},
                                         {254 / 255.0, 178 / 255.0, 76 / 255.0},
                                         {240 / 255.0, 59 / 255.0, 32 / 255.0},
                                         {128 / 255.0, 0.0, 38 / 255.0}}};

// Colour at t (0..1) along the scale, interpolated between its stops.
Rgb heatScaleAt(double t);

// Position of count on the scale, 0 for 1 refresh and 1 for maxCount, on a
// logarithmic scale.
double heatPosition(double count, double maxCount);

// Colour for a cell refreshed count times when the most refreshed cell has
// maxCount: 1 refresh is the scale's lightest colour, maxCount its darkest,
// on a logarithmic scale between them.
Rgb heatColour(unsigned count, unsigned maxCount);

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_HEATMAP_H
