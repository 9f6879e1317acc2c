// SPDX-License-Identifier: MIT
// What a run of the e-paper panel cost, as the closing line and the JSON
// report give it, and the request latencies it is made from. Both the
// emulator's model and the display service on the device report it, so
// that a device's figures and the desk's model of them read alike.
#ifndef ZODM_TOOLS_EPAPER_SUMMARY_H
#define ZODM_TOOLS_EPAPER_SUMMARY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "micros.h"

namespace zodm::model {

// What a request asks to refresh, as the latencies are told apart by.
enum class RefreshKind : uint8_t { Full, Partial, Erase };
constexpr std::size_t kRefreshKinds = 3;
// Quality levels, 0..3, as the latencies of full and partial updates are
// told apart by.
constexpr std::size_t kQualityLevels = 4;

// The residue a pixel must show, in gray levels of 255, to count in the
// residue's area: 16, about one level of a 16-level waveform (they are 17
// apart), where a reader starts to see a ghost.
constexpr int kResidueAreaThreshold = 16;

// The latency of a group of requests.
struct LatencyFigures {
  unsigned long long requests = 0;
  Micros p50 = 0, p95 = 0, max = 0;  // p50 and p95 to 0.1 ms
};

struct Summary {
  unsigned long long requests = 0;    // refreshes handed to the panel
  unsigned long long updates = 0;     // updates the panel ran
  unsigned long long merged = 0;      // merges of waiting updates
  unsigned long long collisions = 0;  // requests that arrived on a running
                                      // update they overlapped
  Micros waited = 0;                  // time updates spent waiting
  unsigned long long flashes = 0;
  Micros busy = 0;                   // time at least one update was running
  Micros run = 0;                    // from 0 to the end of the run
  Micros p50 = 0, p95 = 0, max = 0;  // request latency (p50 and p95 to
                                     // 0.1 ms)
  int residueMax = 0;                // 0..255
  int residueX = 0, residueY = 0;    // where (the topmost, leftmost)
  // Latency by the request's quality level (full and partial updates) and
  // by what it refreshes.
  std::array<LatencyFigures, kQualityLevels> byQuality{};
  std::array<LatencyFigures, kRefreshKinds> byKind{};
  // Pixels that show a residue of kResidueAreaThreshold or more, and the
  // rectangle around them (corners included; meaningless when there are
  // none).
  unsigned long long residueArea = 0;
  int residueX0 = 0, residueY0 = 0, residueX1 = -1, residueY1 = -1;
};

// Request latencies, counted in steps of a tenth of a millisecond, so that
// a long run keeps one count per step, not one per request; the largest is
// kept exact.
class Latencies {
 public:
  void add(Micros latency);
  unsigned long long count() const { return count_; }
  // Nearest rank: the smallest latency (to its step) that at least percent
  // of the requests had; 0 when there are none.
  Micros percentile(unsigned percent) const;
  Micros max() const { return max_; }
  // p50, p95 and max into summary.
  void fill(Summary& summary) const;
  // The count, p50, p95 and max.
  LatencyFigures figures() const;

 private:
  std::map<Micros, unsigned long long> steps_;
  unsigned long long count_ = 0;
  Micros max_ = 0;
};

// The share of the run the panel was busy, in whole percent.
unsigned long long busyPercent(const Summary& summary);

// The line a run ends with: "panel: N updates (N merged), ...", the
// latencies by quality level and by kind after the overall ones. Times
// are in milliseconds below 10 s and in seconds above (durationText).
std::string describeSummary(const Summary& summary);
// The same as the members of a JSON object, without braces:
// "\"updates\":N,...", times always in milliseconds (the keys say so).
std::string summaryJson(const Summary& summary);

}  // namespace zodm::model

#endif  // ZODM_TOOLS_EPAPER_SUMMARY_H
