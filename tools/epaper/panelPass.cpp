// SPDX-License-Identifier: MIT
// See panelPass.h.
#include "panelPass.h"

#include <algorithm>
#include <cmath>

namespace zodm::model::pass {

namespace {

constexpr int kWhite = 255;
// A ghost's limit in 256ths of a change, its rate in 65536ths of the way.
constexpr int kLimitWhole = 256;
constexpr int kRateWhole = 65536;

// The nearest of levels evenly spaced grays to gray: the level's number
// rounded from gray * (levels - 1) / 255, and its gray rounded back.
uint8_t nearest(int gray, int levels) {
  if (levels <= 1) return kWhite;
  const int steps = levels - 1;
  const int level = (gray * steps + 127) / 255;
  return static_cast<uint8_t>((level * 255 + steps / 2) / steps);
}

// With gray = 16 h + l (h, l: its nibbles), the nearest of the 16 levels,
// 17 apart, is 17 h, or one level up when l - h >= 9, or one down when
// h - l >= 9: bytes only, no multiplication, every value a byte so that
// the compiler keeps 16 pixels a vector instead of widening them.
inline void sixteenLoop(uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t v = p[i];
    const auto h = static_cast<uint8_t>(v >> 4);
    const auto l = static_cast<uint8_t>(v & 15);
    const auto h9 = static_cast<uint8_t>(h + 9);
    const auto l9 = static_cast<uint8_t>(l + 9);
    const auto up = static_cast<uint8_t>(
        static_cast<uint8_t>(-static_cast<uint8_t>(l >= h9)) & 17);
    const auto down = static_cast<uint8_t>(
        static_cast<uint8_t>(-static_cast<uint8_t>(h >= l9)) & 17);
    p[i] =
        static_cast<uint8_t>(static_cast<uint8_t>((v & 0xf0) | h) + up - down);
  }
}

// A pass that does not flash, pixel by pixel (see settle). Every value
// fits 16 bits, so that the compiler keeps 8 pixels a vector: residues up
// to 255 steps of 128ths, a rate in 65536ths.
inline void settleLoop(const uint8_t* target, uint8_t* shown, int16_t* residue,
                       std::size_t n, uint16_t limit, uint16_t rate,
                       bool whole) {
  for (std::size_t i = 0; i < n; ++i) {
    const int16_t to = target[i];
    const int16_t was = shown[i];  // what the pixel showed before the pass
    const int16_t kept = residue[i];
    const auto magnitude = static_cast<uint16_t>(kept < 0 ? -kept : kept);
    const auto steps = static_cast<uint16_t>(
        static_cast<uint16_t>(magnitude + kStep / 2) >> 7);
    // The level it showed, without its residue.
    const auto level =
        static_cast<int16_t>(kept < 0 ? was + steps : was - steps);
    const auto change =
        static_cast<uint16_t>(level > to ? level - to : to - level);
    // The residue a run of such passes levels off at, and this pass's
    // share of the way there, rounded towards the residue it had.
    const auto towards =
        static_cast<uint16_t>(static_cast<uint16_t>(change * limit) >> 1);
    const bool rising = towards >= magnitude;
    const auto length = static_cast<uint16_t>(rising ? towards - magnitude
                                                     : magnitude - towards);
    const auto part = static_cast<uint16_t>(
        (static_cast<uint32_t>(length) * static_cast<uint32_t>(rate)) >> 16);
    const uint16_t moved = whole ? length : part;
    const auto sum =
        static_cast<uint16_t>(rising ? magnitude + moved : magnitude - moved);
    // Never beyond what it showed before: the ghost is of that, and
    // points to it.
    const auto room = static_cast<uint16_t>(
        static_cast<uint16_t>(was > to ? was - to : to - was) << 7);
    const uint16_t left = sum < room ? sum : room;
    const auto leftSteps =
        static_cast<int16_t>(static_cast<uint16_t>(left + kStep / 2) >> 7);
    const bool lighter = was > to;
    const auto newResidue = static_cast<int16_t>(lighter ? left : -left);
    const auto newShown =
        static_cast<uint8_t>(lighter ? to + leftSteps : to - leftSteps);
    // A pixel whose level stays keeps what it has.
    residue[i] = change != 0 ? newResidue : kept;
    shown[i] = change != 0 ? newShown : static_cast<uint8_t>(was);
  }
}

// On x86-64 the same loops are also compiled for AVX2, twice the pixels a
// vector, and run where the processor has it: the integers, and so the
// pixels, are the same either way.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("avx2"))) void sixteenAvx2(uint8_t* p, std::size_t n) {
  sixteenLoop(p, n);
}
__attribute__((target("avx2"))) void settleAvx2(const uint8_t* target,
                                                uint8_t* shown,
                                                int16_t* residue, std::size_t n,
                                                uint16_t limit, uint16_t rate,
                                                bool whole) {
  settleLoop(target, shown, residue, n, limit, rate, whole);
}
bool haveAvx2() {
  static const bool have = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return have;
}
#else
bool haveAvx2() { return false; }
void sixteenAvx2(uint8_t* p, std::size_t n) { sixteenLoop(p, n); }
void settleAvx2(const uint8_t* target, uint8_t* shown, int16_t* residue,
                std::size_t n, uint16_t limit, uint16_t rate, bool whole) {
  settleLoop(target, shown, residue, n, limit, rate, whole);
}
#endif

void sixteen(uint8_t* p, std::size_t n) {
  if (haveAvx2())
    sixteenAvx2(p, n);
  else
    sixteenLoop(p, n);
}

}  // namespace

Quantizer::Quantizer(int levels) {
  for (int v = 0; v < 256; ++v)
    table_[static_cast<std::size_t>(v)] = nearest(v, levels);
  // The common waveforms, computed without a table so that the loop
  // vectorises; the table is what they must give (the tests compare).
  switch (levels) {
    case 1:
      kind_ = Kind::White;
      break;
    case 2:
      kind_ = Kind::Two;
      break;
    case 16:
      kind_ = Kind::Sixteen;
      break;
    case 256:
      kind_ = Kind::Same;
      break;
    default:
      kind_ = Kind::Table;
      break;
  }
}

void Quantizer::apply(uint8_t* p, std::size_t n) const {
  switch (kind_) {
    case Kind::White:
      std::fill_n(p, n, static_cast<uint8_t>(kWhite));
      return;
    case Kind::Two:
      for (std::size_t i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(p[i] >= 128 ? kWhite : 0);
      return;
    case Kind::Sixteen:
      sixteen(p, n);
      return;
    case Kind::Same:
      return;
    case Kind::Table:
      for (std::size_t i = 0; i < n; ++i) p[i] = table_[p[i]];
      return;
  }
}

Ghost Ghost::of(double residue, double residueLimit) {
  Ghost g;
  // The share a pass leaves, in 128ths as the residue is kept; the limit
  // in 256ths of a change.
  const long share = std::lround(std::clamp(residue, 0.0, 1.0) * kStep);
  g.limit = static_cast<int>(
      std::lround(std::clamp(residueLimit, 0.0, 1.0) * kLimitWhole));
  // From no residue, one pass goes share of a change: rate = share /
  // limit, of the way to the limit.
  if (g.limit > 0)
    g.rate = static_cast<int>(std::min<long long>(
        kRateWhole, static_cast<long long>(share) * 2 * kRateWhole / g.limit));
  return g;
}

void settle(const uint8_t* target, uint8_t* shown, int16_t* residue,
            std::size_t n, const Ghost& ghost) {
  const auto limit = static_cast<uint16_t>(ghost.limit);
  const bool whole = ghost.rate >= kRateWhole;
  const auto rate = static_cast<uint16_t>(whole ? 0 : ghost.rate);
  if (haveAvx2())
    settleAvx2(target, shown, residue, n, limit, rate, whole);
  else
    settleLoop(target, shown, residue, n, limit, rate, whole);
}

RowResidue scanRow(const int16_t* residue, std::size_t n, int threshold) {
  RowResidue row;
  int max = 0;
  int area = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const int steps = residueSteps(residue[i]);
    max = steps > max ? steps : max;
    area += steps >= threshold;
  }
  row.max = max;
  row.area = area;
  const auto find = [&](int wanted, std::size_t from, int direction) {
    for (std::size_t i = from;; i += static_cast<std::size_t>(direction))
      if (residueSteps(residue[i]) >= wanted) return static_cast<int>(i);
  };
  if (max > 0) row.maxX = find(max, 0, 1);
  if (area > 0) {
    row.first = find(threshold, 0, 1);
    row.last = find(threshold, n - 1, -1);
  }
  return row;
}

}  // namespace zodm::model::pass
