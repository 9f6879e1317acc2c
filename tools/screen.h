// The display emulator behind zodm-screen: what each cell of the display area
// went through (how often it was refreshed, and by which request), totals of
// the requests, and a picture of it all drawn with cairo.
#ifndef ZODM_TOOLS_SCREEN_H
#define ZODM_TOOLS_SCREEN_H

#include <cairo.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "zodm.h"

namespace zodm::screen {

// Cells of the display area: both ends of each axis are included.
constexpr int kWidth = DM_MAX_X + 1;
constexpr int kHeight = DM_MAX_Y + 1;

// Refresh counts stop here instead of wrapping.
constexpr uint16_t kMaxCount = UINT16_MAX;

// How many partial rectangles the picture may outline at the most.
constexpr std::size_t kMaxRecent = 64;

// What last refreshed a cell.
enum class Kind : uint8_t { None, Full, Partial, Erase };

// A refreshed rectangle, corners in order and inclusive, and the number of
// the accepted request (counted from 1) that refreshed it.
struct Rect {
  int x0, y0, x1, y1;
  unsigned long long request;
};

struct Tally {
  unsigned long long accepted = 0;
  unsigned long long refused = 0;
  std::array<unsigned long long, 4> byCode{};      // indexed by DM_CMD_*
  std::array<unsigned long long, 4> byPriority{};  // updates and erases
  std::array<unsigned long long, 4> byQuality{};   // full and partial updates
};

class Screen {
 public:
  // recent: how many of the last partial rectangles to keep (capped at
  // kMaxRecent).
  explicit Screen(std::size_t recent = 8);

  // Records an accepted request: a full update and an erase refresh every
  // cell, a partial update the rectangle between its corners in either order
  // (cut to the display area), a dump nothing.
  void apply(const DmCommand& command);
  // Records a refused text.
  void refuse() { ++tally_.refused; }

  uint16_t count(int x, int y) const { return counts_[index(x, y)]; }
  Kind lastKind(int x, int y) const { return kinds_[index(x, y)]; }
  // Number of the accepted request that last refreshed the cell; 0: none.
  unsigned long long lastRequest(int x, int y) const {
    return requests_[index(x, y)];
  }
  uint16_t maxCount() const { return maxCount_; }
  // The last partial rectangles, oldest first.
  const std::deque<Rect>& recent() const { return recent_; }
  std::size_t recentCapacity() const { return recentCapacity_; }
  const Tally& tally() const { return tally_; }

  // The totals as the picture's caption shows them, one line each.
  std::vector<std::string> caption() const;

 private:
  static std::size_t index(int x, int y) {
    return static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x);
  }
  void refresh(int x0, int y0, int x1, int y1, Kind kind);

  std::vector<uint16_t> counts_;
  std::vector<Kind> kinds_;
  std::vector<unsigned long long> requests_;
  uint16_t maxCount_ = 0;
  std::deque<Rect> recent_;
  std::size_t recentCapacity_;
  Tally tally_;
};

// Colour of the heat map, components 0..1.
struct Rgb {
  double r, g, b;
};

// A cell never refreshed.
constexpr Rgb kNeverColour{1.0, 1.0, 1.0};

// Colour for a cell refreshed count times when the most refreshed cell has
// maxCount: 1 refresh is the scale's lightest colour, maxCount its darkest,
// on a logarithmic scale between them.
Rgb heatColour(unsigned count, unsigned maxCount);

// Where the display area's cell (0,0) lies in the picture (one pixel per
// cell), and the picture's size.
constexpr int kOriginX = 16;
constexpr int kOriginY = 16;
constexpr int kPanelWidth = 440;
constexpr int kPictureWidth = kOriginX + kWidth + 16 + kPanelWidth;
constexpr int kPictureHeight = kOriginY + kHeight + 16;

struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const {
    cairo_surface_destroy(surface);
  }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// Draws the picture: the heat map of refresh counts with the last partial
// rectangles outlined (newest brightest), a colour scale with its legend and
// the caption.
Surface draw(const Screen& screen);

// Writes the picture as PNG to path through a temporary file in the same
// directory, renamed over path, so a reader never sees half a picture.
// Returns an empty string, or why it failed.
std::string writePicture(const Screen& screen, const std::string& path);

// Frees what cairo and fontconfig keep for the process's lifetime (font
// caches), so a leak checker at exit sees nothing; call it last, after every
// surface is gone.
void releaseStaticData();

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_H
