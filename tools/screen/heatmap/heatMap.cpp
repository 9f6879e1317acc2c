// SPDX-License-Identifier: MIT
// See heatMap.h.
#include "heatMap.h"

#include <algorithm>
#include <cmath>

namespace zodm::screen {

namespace {

std::string joinCounts(const std::array<unsigned long long, 4>& counts) {
  std::string out;
  for (std::size_t level = 0; level < counts.size(); ++level) {
    if (level > 0) out += ", ";
    out += std::to_string(level) + ": " + std::to_string(counts[level]);
  }
  return out;
}

}  // namespace

HeatMap::HeatMap(std::size_t recent)
    : counts_(geometry::kPixels, 0),
      requests_(geometry::kPixels, 0),
      rowRequests_(kHeight, 0),
      rowWhole_(kHeight, 0),
      recentCapacity_(std::min(recent, kMaxRecent)) {}

void HeatMap::refresh(const Rect& r) {
  const unsigned long long request = tally_.accepted;
  const auto width = static_cast<std::size_t>(r.width());
  uint16_t highest = maxCount_;
  // Row by row, one simple pass per array: the compiler vectorises each.
  for (int y = r.y0; y <= r.y1; ++y) {
    rowRequests_[static_cast<std::size_t>(y)] = request;
    const std::size_t begin = index(r.x0, y);
    const uint16_t more = unapplied(y);
    uint16_t* const counts = counts_.data() + begin;
    for (std::size_t i = 0; i < width; ++i) {
      counts[i] = static_cast<uint16_t>(counts[i] + (counts[i] < kMaxCount));
      highest = std::max(highest, saturated(counts[i], more));
    }
    std::fill_n(requests_.data() + begin, width, request);
  }
  maxCount_ = highest;
}

const uint16_t* HeatMap::row(int y) {
  const auto at = static_cast<std::size_t>(y);
  if (const uint16_t more = unapplied(y); more != 0) {
    uint16_t* const counts = counts_.data() + index(0, y);
    for (std::size_t i = 0; i < static_cast<std::size_t>(kWidth); ++i)
      counts[i] = saturated(counts[i], more);
  }
  rowWhole_[at] = whole_;
  return &counts_[index(0, y)];
}

RequestKind HeatMap::lastKind(int x, int y) const {
  const unsigned long long partial = requests_[index(x, y)];
  if (lastWhole_ > partial) return lastWholeKind_;
  return partial == 0 ? RequestKind::None : RequestKind::Partial;
}

void HeatMap::apply(const DmCommand& command) {
  ++tally_.accepted;
  const auto level = [](int32_t value) {
    return static_cast<std::size_t>(std::clamp(value, 0, DM_MAX_LEVEL));
  };
  const RequestKind kind = geometry::kindOf(command);
  if (kind == RequestKind::None) return;
  ++tally_.byCode[static_cast<std::size_t>(command.code)];
  if (kind != RequestKind::Dump) ++tally_.byPriority[level(command.priority)];
  if (kind == RequestKind::Full || kind == RequestKind::Partial)
    ++tally_.byQuality[level(command.quality)];
  if (kind == RequestKind::Full || kind == RequestKind::Erase) {
    // Every cell once more: the most refreshed one too.
    ++whole_;
    lastWhole_ = tally_.accepted;
    lastWholeKind_ = kind;
    maxCount_ = saturated(maxCount_, 1);
    return;
  }
  if (kind != RequestKind::Partial) return;
  const Rect r = geometry::partialRect(command);
  refresh(r);
  if (recentCapacity_ > 0) {
    if (recent_.size() == recentCapacity_) recent_.pop_front();
    recent_.push_back({r, tally_.accepted});
  }
}

std::vector<std::string> HeatMap::caption() const {
  const auto n = [](unsigned long long v) { return std::to_string(v); };
  return {
      "accepted " + n(tally_.accepted) + ", refused " + n(tally_.refused),
      "full updates " + n(tally_.byCode[DM_CMD_DISPLAY]) + ", partial " +
          n(tally_.byCode[DM_CMD_DISPLAY_PARTIAL]) + ", erases " +
          n(tally_.byCode[DM_CMD_ERASE_TO_WHITE]) + ", dumps " +
          n(tally_.byCode[DM_CMD_DUMP]),
      "by priority " + joinCounts(tally_.byPriority),
      "by quality " + joinCounts(tally_.byQuality),
      "most refreshed cell: " + n(maxCount_) +
          (maxCount_ == 1 ? " time" : " times"),
  };
}

Rgb heatScaleAt(double t) {
  t = std::clamp(t, 0.0, 1.0) * (kHeatScale.size() - 1);
  const auto stop =
      std::min(static_cast<std::size_t>(t), kHeatScale.size() - 2);
  const double f = t - static_cast<double>(stop);
  const Rgb& a = kHeatScale[stop];
  const Rgb& b = kHeatScale[stop + 1];
  return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

double heatPosition(double count, double maxCount) {
  return maxCount <= 1 ? 0.0 : std::log(count) / std::log(maxCount);
}

Rgb heatColour(unsigned count, unsigned maxCount) {
  if (count == 0) return kNeverColour;
  return heatScaleAt(heatPosition(count, std::max(maxCount, count)));
}

}  // namespace zodm::screen
