// SPDX-License-Identifier: MIT
// The e-paper model's work on pixels, one row of a region at a time: what a
// waveform's gray levels make of the framebuffer's pixels, what a pass
// leaves on the panel (the new levels, and the residue of what the pixels
// showed before), and a row's residue as the run's cost counts it.
//
// Everything is integer arithmetic, so that a run gives the same pixels
// on every machine. Residue is kept per pixel in 128ths of a gray step,
// signed towards the level the pixel showed before (positive: it shows
// lighter than its level). A pixel shows its level plus its residue,
// rounded to whole steps; since the residue never carries a pixel past
// the level it showed before, that sum never leaves 0..255 and the level
// can always be read back from what the pixel shows and its residue.
//
// The loops are written without branches between pixels, so that the
// compiler vectorises them: a full update costs a few times a copy of the
// same pixels.
#ifndef ZODM_TOOLS_EPAPER_PANELPASS_H
#define ZODM_TOOLS_EPAPER_PANELPASS_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace zodm::model::pass {

// Residue is kept in 128ths of a gray step.
constexpr int kStep = 128;

// Whole steps of a residue, rounded: what it adds to a pixel's level.
constexpr int residueSteps(int residue) {
  return ((residue < 0 ? -residue : residue) + kStep / 2) / kStep;
}

// What a waveform of levels gray levels (1..256) makes of a framebuffer
// pixel: the nearest of levels evenly spaced grays, 0 and 255 included
// (1 level: white only).
class Quantizer {
 public:
  explicit Quantizer(int levels);
  uint8_t operator()(uint8_t gray) const { return table_[gray]; }
  // Quantizes n pixels in place.
  void apply(uint8_t* pixels, std::size_t n) const;

 private:
  enum class Kind : uint8_t { White, Two, Sixteen, Same, Table };
  Kind kind_;
  std::array<uint8_t, 256> table_{};
};

// How a waveform's passes that do not flash leave residue, in integers: a
// pass that changes a pixel's level by d takes its residue rate / 65536 of
// the way to d * limit / 256 gray steps (the residue a run of such passes
// levels off at), and never beyond what the pixel showed before.
struct Ghost {
  int limit = 0;  // 0..256: the limit's share of a change
  int rate = 0;   // 0..65536: the share of the way a pass goes
  // From a profile's shares (0..1): the residue a single pass leaves of a
  // change, and the limit a run of passes levels off at.
  static Ghost of(double residue, double residueLimit);
};

// A pass that does not flash over n pixels: each whose level differs from
// its target (the framebuffer as the pass found it, quantized) takes the
// target's level and a residue by ghost; the others keep what they show.
void settle(const uint8_t* target, uint8_t* shown, int16_t* residue,
            std::size_t n, const Ghost& ghost);

// What a row's residue adds up to: its largest (in whole steps) and the
// leftmost pixel that has it, and how many pixels have at least threshold
// steps, the leftmost and the rightmost of them (0 and -1 when none).
struct RowResidue {
  int max = 0;
  int maxX = 0;
  int area = 0;
  int first = 0;
  int last = -1;
};
RowResidue scanRow(const int16_t* residue, std::size_t n, int threshold);

}  // namespace zodm::model::pass

#endif  // ZODM_TOOLS_EPAPER_PANELPASS_H
