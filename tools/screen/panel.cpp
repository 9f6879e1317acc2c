// SPDX-License-Identifier: MIT
// See panel.h.
#include "panel.h"

#include <algorithm>
#include <cstring>

namespace zodm::screen {

Panel::Panel(const Framebuffer& framebuffer)
    : framebuffer_(framebuffer),
      pixels_(kFramebufferBytes, kWhite),
      rowChanges_(kHeight, 0) {}

void Panel::touch(int y0, int y1) {
  ++changes_;
  std::fill(rowChanges_.begin() + y0, rowChanges_.begin() + y1 + 1, changes_);
}

void Panel::copy(const Rect& r) {
  // A framebuffer cut short (being written anew) shows what could be read.
  if (!framebuffer_.copy(r, pixels_.data())) ++unread_;
  touch(r.y0, r.y1);
}

void Panel::apply(const DmCommand& command) {
  switch (command.code) {
    case DM_CMD_DISPLAY:
      copy({0, 0, DM_MAX_X, DM_MAX_Y, 0});
      break;
    case DM_CMD_DISPLAY_PARTIAL:
      copy(partialRect(command));
      break;
    case DM_CMD_ERASE_TO_WHITE:
      std::fill(pixels_.begin(), pixels_.end(), kWhite);
      touch(0, DM_MAX_Y);
      break;
    default:
      break;
  }
}

Stale findStale(const uint8_t* panel, const uint8_t* drawn) {
  Stale stale;
  Rect& b = stale.bounds;
  b = {kWidth, kHeight, -1, -1, 0};
  for (int y = 0; y < kHeight; ++y) {
    const std::size_t start = static_cast<std::size_t>(y) * kWidth;
    if (std::memcmp(panel + start, drawn + start, kWidth) == 0) continue;
    for (int x = 0; x < kWidth; ++x) {
      if (panel[start + static_cast<std::size_t>(x)] ==
          drawn[start + static_cast<std::size_t>(x)])
        continue;
      ++stale.pixels;
      b = {std::min(b.x0, x), std::min(b.y0, y), std::max(b.x1, x),
           std::max(b.y1, y), 0};
    }
  }
  return stale;
}

std::string describeStale(const Stale& stale) {
  if (stale.pixels == 0) return "no pixel is stale";
  const Rect& b = stale.bounds;
  // Appended piece by piece: GCC 12 at -O3 wrongly flags "..." + string.
  std::string out = std::to_string(stale.pixels);
  out += stale.pixels == 1 ? " pixel" : " pixels";
  out += " stale in (";
  out += std::to_string(b.x0);
  out += ',';
  out += std::to_string(b.y0);
  out += ")-(";
  out += std::to_string(b.x1);
  out += ',';
  out += std::to_string(b.y1);
  out += ')';
  return out;
}

}  // namespace zodm::screen
