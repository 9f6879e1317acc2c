// SPDX-License-Identifier: MIT
// The e-paper model's pixel arithmetic: every gray through each kind of
// quantizer (the vectorised ones against the nearest level, computed here
// in floating point), and a waveform's shares as integers.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "panelPass.h"

namespace zodm::model::pass {
namespace {

// The nearest of levels evenly spaced grays, a tie going to the darker.
int nearestGray(int gray, int levels) {
  if (levels == 1) return 255;
  const double step = 255.0 / (levels - 1);
  const double level = std::ceil(gray / step - 0.5);
  return static_cast<int>(std::lround(level * step));
}

TEST(Quantizer, EveryGrayAtEachKindOfLevels) {
  // White only, black and white, the 16 levels in bytes, as they are, and
  // levels through a table.
  for (const int levels : {1, 2, 16, 256, 3, 4, 5, 17, 128, 255}) {
    SCOPED_TRACE(levels);
    const Quantizer quantize(levels);
    std::vector<uint8_t> grays(256);
    for (int v = 0; v < 256; ++v)
      grays[static_cast<std::size_t>(v)] = static_cast<uint8_t>(v);
    quantize.apply(grays.data(), grays.size());
    for (int v = 0; v < 256; ++v) {
      const auto gray = static_cast<uint8_t>(v);
      EXPECT_EQ(nearestGray(v, levels), grays[static_cast<std::size_t>(v)])
          << v;
      EXPECT_EQ(grays[static_cast<std::size_t>(v)], quantize(gray)) << v;
    }
  }
}

TEST(Ghost, SharesAsIntegers) {
  const struct {
    double residue, limit;
    int wantLimit, wantRate;  // 256ths of a change, 65536ths of the way
  } kCases[] = {
      {0.10, 0.25, 64, 26624},  // A2: 13/128 of a change, 0.40625 of the way
      {0.01, 0.025, 6, 21845},  // GC16
      {0.5, 0.25, 64, 65536},   // past the limit: all the way at once
      {0.10, 0, 0, 0},          // no limit: no residue
      {0, 0.2, 51, 0},          // no share: what is kept stays
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.residue);
    const Ghost g = Ghost::of(c.residue, c.limit);
    EXPECT_EQ(c.wantLimit, g.limit);
    EXPECT_EQ(c.wantRate, g.rate);
  }
}

// One pixel through passes of a waveform with a limit of a half, all the
// way each pass: the residue goes straight to the limit, but never past
// what the pixel showed before.
TEST(Settle, NeverPastWhatThePixelShowed) {
  const Ghost all = Ghost::of(1, 0.5);
  const struct {
    uint8_t shown;
    int16_t residue;
    uint8_t target;
    uint8_t wantShown;
    int16_t wantResidue;
  } kCases[] = {
      {255, 0, 0, 128, 16320},  // half of 255 steps, towards white
      // Level 0 back to 255: the ghost keeps its 127.5 steps, as far as
      // the 128 shown before allows.
      {128, 16320, 255, 128, -16256},
      {200, 0, 200, 200, 0},        // level unchanged: nothing happens
      {100, 0, 96, 98, 256},        // 2 of 4 steps
      {100, -1280, 90, 100, 1280},  // level 110 to 90: 10 steps, room for 10
  };
  for (const auto& c : kCases) {
    uint8_t shown = c.shown;
    int16_t residue = c.residue;
    settle(&c.target, &shown, &residue, 1, all);
    EXPECT_EQ(c.wantShown, shown) << int(c.shown) << " to " << int(c.target);
    EXPECT_EQ(c.wantResidue, residue)
        << int(c.shown) << " to " << int(c.target);
  }
}

}  // namespace
}  // namespace zodm::model::pass
