// SPDX-License-Identifier: MIT
// See requestPlan.h.
#include "requestPlan.h"

#include <algorithm>

#include "area.h"

namespace zodm::displayd {

namespace {

using geometry::Rect;

// The panel pixels that request pixels lo..hi (of an axis of area pixels)
// land on when the axis is stretched over size panel pixels.
void stretch(int& lo, int& hi, int area, int64_t size) {
  lo = static_cast<int>(lo * size / area);
  hi = static_cast<int>(((hi + 1) * size - 1) / area);
  hi = std::max(lo, hi);
}

// The partial update's rectangle on the panel, or none outside it.
std::optional<Rect> partialRegion(const DmCommand& command,
                                  const model::Mapping mapping, int width,
                                  int height) {
  Rect r = geometry::partialRect(command);
  if (mapping == model::Mapping::Scaled) {
    stretch(r.x0, r.x1, geometry::kWidth, width);
    stretch(r.y0, r.y1, geometry::kHeight, height);
  }
  if (r.x0 >= width || r.y0 >= height) return std::nullopt;
  r.x1 = std::min(r.x1, width - 1);
  r.y1 = std::min(r.y1, height - 1);
  return r;
}

}  // namespace

std::optional<PlannedUpdate> planRequest(const DmCommand& command,
                                         const model::Profile& profile,
                                         const Geometry& geometry,
                                         int64_t arrival) {
  const geometry::RequestKind kind = geometry::kindOf(command);
  // Panels are far below 2^30 pixels a side; the bound keeps the sums in
  // int.
  const int width =
      static_cast<int>(std::min<uint32_t>(geometry.xres, 1u << 30));
  const int height =
      static_cast<int>(std::min<uint32_t>(geometry.yres, 1u << 30));
  if (width < 1 || height < 1) return std::nullopt;
  PlannedUpdate u;
  u.arrival = arrival;
  u.x1 = width - 1;
  u.y1 = height - 1;
  switch (kind) {
    case geometry::RequestKind::Full:
      u.kind = UpdateKind::Full;
      u.waveform = profile.full;
      break;
    case geometry::RequestKind::Erase:
      u.kind = UpdateKind::Erase;
      u.waveform = profile.erase;
      break;
    case geometry::RequestKind::Partial: {
      const auto region =
          partialRegion(command, profile.device.mapping, width, height);
      if (!region) return std::nullopt;
      u.kind = UpdateKind::Partial;
      u.x0 = region->x0;
      u.y0 = region->y0;
      u.x1 = region->x1;
      u.y1 = region->y1;
      u.waveform = profile.quality[static_cast<std::size_t>(
          std::clamp(command.quality, 0, DM_MAX_LEVEL))];
      break;
    }
    default:
      return std::nullopt;  // a dump
  }
  const model::Waveform& w = profile.waveform(u.waveform);
  u.code = static_cast<uint32_t>(w.mode.value_or(0));
  u.flashing = u.kind == UpdateKind::Erase || w.flash == model::Flash::Always ||
               (u.kind == UpdateKind::Full && w.flash == model::Flash::Full);
  return u;
}

}  // namespace zodm::displayd
