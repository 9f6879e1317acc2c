// SPDX-License-Identifier: MIT
// The ideal panel: what a panel without e-paper's costs shows, taking the
// framebuffer's pixels only where a request refreshes them. It starts white; a
// partial update copies its rectangle from the framebuffer as it is when the
// request is handled, a full update the whole framebuffer; an erase to white
// makes the panel white and leaves the framebuffer alone; a dump changes
// nothing. The levels play no part. Where the framebuffer and the panel differ,
// the application drew but did not refresh: the reader sees stale content.
#ifndef ZODM_TOOLS_SCREEN_IDEALPANEL_H
#define ZODM_TOOLS_SCREEN_IDEALPANEL_H

#include <cstdint>
#include <string>
#include <vector>

#include "area.h"
#include "framebuffer.h"
#include "zodm.h"

namespace zodm::screen {

class IdealPanel {
 public:
  // Reads from framebuffer, which must outlive the panel.
  explicit IdealPanel(const Framebuffer& framebuffer);

  // Shows what an accepted request makes the panel show.
  void apply(const DmCommand& command);

  const uint8_t* pixels() const { return pixels_.data(); }
  const uint8_t* row(int y) const {
    return &pixels_[static_cast<std::size_t>(y) * kWidth];
  }
  uint8_t at(int x, int y) const { return row(y)[x]; }
  // Number of the change (counted from 1) that last touched row y; 0:
  // none. A reader that saw every row at change N needs to look again only
  // at the rows whose number is above N.
  unsigned long long rowChange(int y) const {
    return rowChanges_[static_cast<std::size_t>(y)];
  }
  unsigned long long changes() const { return changes_; }
  // Refreshes that found the framebuffer cut short, and so copied it only
  // in part or not at all.
  unsigned long long unread() const { return unread_; }
  const Framebuffer& framebuffer() const { return framebuffer_; }

 private:
  void copy(const Rect& r);
  void touch(int y0, int y1);

  const Framebuffer& framebuffer_;
  std::vector<uint8_t> pixels_;
  std::vector<unsigned long long> rowChanges_;
  unsigned long long changes_ = 0;
  unsigned long long unread_ = 0;
};

// Where drawn (kFramebufferBytes pixels, as the framebuffer holds them)
// differs from the panel: how many pixels, and the rectangle around them.
struct Stale {
  unsigned long long pixels = 0;
  Rect bounds{};  // meaningless when pixels is 0
};
Stale findStale(const uint8_t* panel, const uint8_t* drawn);

// "no pixel is stale", or "N pixels stale in (x0,y0)-(x1,y1)", for the line
// at exit.
std::string describeStale(const Stale& stale);

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_IDEALPANEL_H
