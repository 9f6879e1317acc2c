// SPDX-License-Identifier: MIT
// The display area that requests address and the rectangle each request
// refreshes: the geometry that every part of the tools shares. It needs
// nothing but the library's header, for DmCommand and the area's bounds.
#ifndef ZODM_TOOLS_GEOMETRY_AREA_H
#define ZODM_TOOLS_GEOMETRY_AREA_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "zodm.h"

namespace zodm::geometry {

// Pixels of the display area: both ends of each axis are included.
constexpr int kWidth = DM_MAX_X + 1;
constexpr int kHeight = DM_MAX_Y + 1;
constexpr std::size_t kPixels = static_cast<std::size_t>(kWidth) * kHeight;

// A rectangle of pixels, corners in order and inclusive.
struct Rect {
  int x0, y0, x1, y1;

  constexpr int width() const { return x1 - x0 + 1; }
  constexpr int height() const { return y1 - y0 + 1; }
  constexpr bool operator==(const Rect& o) const {
    return x0 == o.x0 && y0 == o.y0 && x1 == o.x1 && y1 == o.y1;
  }
  constexpr bool operator!=(const Rect& o) const { return !(*this == o); }
};

constexpr Rect kWholeArea{0, 0, DM_MAX_X, DM_MAX_Y};

// What an accepted request asks for; None for what no request did (a
// cell never refreshed).
enum class RequestKind : uint8_t { None, Full, Partial, Erase, Dump };

constexpr RequestKind kindOf(const DmCommand& command) {
  switch (command.code) {
    case DM_CMD_DISPLAY:
      return RequestKind::Full;
    case DM_CMD_DISPLAY_PARTIAL:
      return RequestKind::Partial;
    case DM_CMD_ERASE_TO_WHITE:
      return RequestKind::Erase;
    case DM_CMD_DUMP:
      return RequestKind::Dump;
    default:
      return RequestKind::None;
  }
}

// The pixels a partial update refreshes: the rectangle between its
// corners, given in either order, cut to the area.
constexpr Rect partialRect(const DmCommand& command) {
  const auto x = [](int32_t v) { return std::clamp(v, 0, DM_MAX_X); };
  const auto y = [](int32_t v) { return std::clamp(v, 0, DM_MAX_Y); };
  return {x(std::min(command.xUp, command.xDown)),
          y(std::min(command.yUp, command.yDown)),
          x(std::max(command.xUp, command.xDown)),
          y(std::max(command.yUp, command.yDown))};
}

// The pixels an accepted request refreshes: all of them for a full update
// and an erase, the rectangle of a partial update, none for a dump.
constexpr std::optional<Rect> refreshedRect(const DmCommand& command) {
  switch (kindOf(command)) {
    case RequestKind::Full:
    case RequestKind::Erase:
      return kWholeArea;
    case RequestKind::Partial:
      return partialRect(command);
    default:
      return std::nullopt;
  }
}

// Sharing at least one pixel.
constexpr bool overlap(const Rect& a, const Rect& b) {
  return a.x0 <= b.x1 && b.x0 <= a.x1 && a.y0 <= b.y1 && b.y0 <= a.y1;
}

// Overlapping, or sharing an edge or a corner.
constexpr bool touching(const Rect& a, const Rect& b) {
  return a.x0 <= b.x1 + 1 && b.x0 <= a.x1 + 1 && a.y0 <= b.y1 + 1 &&
         b.y0 <= a.y1 + 1;
}

constexpr Rect boundingBox(const Rect& a, const Rect& b) {
  return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1),
          std::max(a.y1, b.y1)};
}

// The offset of pixel (x, y) in a plane of kWidth x kHeight, row by row.
constexpr std::size_t pixelIndex(int x, int y) {
  return static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x);
}

}  // namespace zodm::geometry

#endif  // ZODM_TOOLS_GEOMETRY_AREA_H
