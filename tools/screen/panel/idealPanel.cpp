// SPDX-License-Identifier: MIT
// See idealPanel.h.
#include "idealPanel.h"

#include <algorithm>
#include <cstring>

namespace zodm::screen {

IdealPanel::IdealPanel(const Framebuffer& framebuffer)
    : framebuffer_(framebuffer),
      pixels_(kFramebufferBytes, kWhite),
      rowChanges_(kHeight, 0) {}

void IdealPanel::touch(int y0, int y1) {
  ++changes_;
  std::fill(rowChanges_.begin() + y0, rowChanges_.begin() + y1 + 1, changes_);
}

void IdealPanel::copy(const Rect& r) {
  // A framebuffer cut short (being written anew) shows what could be read.
  if (!framebuffer_.copy(r, pixels_.data())) ++unread_;
  touch(r.y0, r.y1);
}

void IdealPanel::apply(const DmCommand& command) {
  const std::optional<Rect> r = geometry::refreshedRect(command);
  if (!r) return;
  if (command.code != DM_CMD_ERASE_TO_WHITE) {
    copy(*r);
    return;
  }
  std::fill(pixels_.begin(), pixels_.end(), kWhite);
  touch(0, DM_MAX_Y);
}

Stale findStale(const uint8_t* panel, const uint8_t* drawn) {
  Stale stale;
  Rect& b = stale.bounds;
  b = {kWidth, kHeight, -1, -1};
  for (int y = 0; y < kHeight; ++y) {
    const std::size_t start = static_cast<std::size_t>(y) * kWidth;
    if (std::memcmp(panel + start, drawn + start, kWidth) == 0) continue;
    for (int x = 0; x < kWidth; ++x) {
      if (panel[start + static_cast<std::size_t>(x)] ==
          drawn[start + static_cast<std::size_t>(x)])
        continue;
      ++stale.pixels;
      b = geometry::boundingBox(b, {x, y, x, y});
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
