// SPDX-License-Identifier: MIT
// See screen.h.
#include "screen.h"

#include <algorithm>
#include <cmath>

namespace zodm::screen {

namespace {

constexpr std::size_t kCells = static_cast<std::size_t>(kWidth) * kHeight;

std::string joinCounts(const std::array<unsigned long long, 4>& counts) {
  std::string out;
  for (std::size_t level = 0; level < counts.size(); ++level) {
    if (level > 0) out += ", ";
    out += std::to_string(level) + ": " + std::to_string(counts[level]);
  }
  return out;
}

}  // namespace

Screen::Screen(std::size_t recent)
    : counts_(kCells, 0),
      kinds_(kCells, Kind::None),
      requests_(kCells, 0),
      rowRequests_(kHeight, 0),
      recentCapacity_(std::min(recent, kMaxRecent)) {}

void Screen::refresh(int x0, int y0, int x1, int y1, Kind kind) {
  const unsigned long long request = tally_.accepted;
  const auto width = static_cast<std::size_t>(x1 - x0 + 1);
  uint16_t highest = maxCount_;
  // Row by row, one simple pass per array: the compiler vectorises each,
  // so that a full update's 788,225 cells cost a fraction of a millisecond.
  for (int y = y0; y <= y1; ++y) {
    rowRequests_[static_cast<std::size_t>(y)] = request;
    const std::size_t begin = index(x0, y);
    uint16_t* const counts = counts_.data() + begin;
    for (std::size_t i = 0; i < width; ++i) {
      counts[i] = static_cast<uint16_t>(counts[i] + (counts[i] < kMaxCount));
      highest = std::max(highest, counts[i]);
    }
    std::fill_n(kinds_.data() + begin, width, kind);
    std::fill_n(requests_.data() + begin, width, request);
  }
  maxCount_ = highest;
}

void Screen::apply(const DmCommand& command) {
  ++tally_.accepted;
  const auto level = [](int32_t value) {
    return static_cast<std::size_t>(std::clamp(value, 0, DM_MAX_LEVEL));
  };
  switch (command.code) {
    case DM_CMD_DISPLAY:
      ++tally_.byCode[DM_CMD_DISPLAY];
      ++tally_.byPriority[level(command.priority)];
      ++tally_.byQuality[level(command.quality)];
      refresh(0, 0, DM_MAX_X, DM_MAX_Y, Kind::Full);
      break;
    case DM_CMD_DISPLAY_PARTIAL: {
      ++tally_.byCode[DM_CMD_DISPLAY_PARTIAL];
      ++tally_.byPriority[level(command.priority)];
      ++tally_.byQuality[level(command.quality)];
      Rect r = partialRect(command);
      r.request = tally_.accepted;
      refresh(r.x0, r.y0, r.x1, r.y1, Kind::Partial);
      if (recentCapacity_ > 0) {
        if (recent_.size() == recentCapacity_) recent_.pop_front();
        recent_.push_back(r);
      }
      break;
    }
    case DM_CMD_DUMP:
      ++tally_.byCode[DM_CMD_DUMP];
      break;
    case DM_CMD_ERASE_TO_WHITE:
      ++tally_.byCode[DM_CMD_ERASE_TO_WHITE];
      ++tally_.byPriority[level(command.priority)];
      refresh(0, 0, DM_MAX_X, DM_MAX_Y, Kind::Erase);
      break;
    default:
      break;
  }
}

std::vector<std::string> Screen::caption() const {
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

Rect partialRect(const DmCommand& command) {
  const auto x = [](int32_t v) { return std::clamp(v, 0, DM_MAX_X); };
  const auto y = [](int32_t v) { return std::clamp(v, 0, DM_MAX_Y); };
  return {x(std::min(command.xUp, command.xDown)),
          y(std::min(command.yUp, command.yDown)),
          x(std::max(command.xUp, command.xDown)),
          y(std::max(command.yUp, command.yDown)), 0};
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
