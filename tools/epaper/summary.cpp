// SPDX-License-Identifier: MIT
// See summary.h.
#include "summary.h"

#include <algorithm>

namespace zodm::model {

namespace {

constexpr Micros kLatencyStep = 100;

std::string plural(unsigned long long n, const char* one, const char* many) {
  return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

}  // namespace

std::string milliseconds(Micros micros) {
  const Micros m = micros < 0 ? -micros : micros;
  // Built by appending: GCC 12 at -O3 wrongly flags "..." + string here
  // (-Wrestrict).
  std::string out;
  if (micros < 0) out += '-';
  out += std::to_string(m / kMicrosPerMs);
  if (const Micros fraction = m % kMicrosPerMs; fraction != 0) {
    std::string digits = std::to_string(fraction + kMicrosPerMs).substr(1);
    while (digits.back() == '0') digits.pop_back();
    out += '.';
    out += digits;
  }
  return out;
}

void Latencies::add(Micros latency) {
  ++steps_[latency / kLatencyStep * kLatencyStep];
  ++count_;
  max_ = std::max(max_, latency);
}

Micros Latencies::percentile(unsigned percent) const {
  const unsigned long long wanted = (count_ * percent + 99) / 100;
  unsigned long long seen = 0;
  for (const auto& [latency, count] : steps_) {
    seen += count;
    if (seen >= wanted) return latency;
  }
  return 0;
}

void Latencies::fill(Summary& summary) const {
  if (count_ == 0) return;
  summary.p50 = percentile(50);
  summary.p95 = percentile(95);
  summary.max = max_;
}

std::string describeSummary(const Summary& s) {
  const unsigned long long share =
      s.run > 0
          ? static_cast<unsigned long long>((s.busy * 100 + s.run / 2) / s.run)
          : 0;
  std::string out = "panel: " + plural(s.updates, "update", "updates") + " (" +
                    std::to_string(s.merged) + " merged), " +
                    plural(s.collisions, "collision", "collisions") +
                    ", waited " + milliseconds(s.waited) + " ms, " +
                    plural(s.flashes, "flash", "flashes") + ", busy " +
                    milliseconds(s.busy) + " ms of " + milliseconds(s.run) +
                    " ms (" + std::to_string(share) + "%), latency p50 " +
                    milliseconds(s.p50) + " ms, p95 " + milliseconds(s.p95) +
                    " ms, max " + milliseconds(s.max) +
                    " ms, largest residue " + std::to_string(s.residueMax);
  if (s.residueMax > 0)
    out += " at (" + std::to_string(s.residueX) + ',' +
           std::to_string(s.residueY) + ')';
  return out;
}

std::string summaryJson(const Summary& s) {
  std::string out = "\"updates\":" + std::to_string(s.updates) +
                    ",\"merged\":" + std::to_string(s.merged) +
                    ",\"collisions\":" + std::to_string(s.collisions) +
                    ",\"waited_ms\":" + milliseconds(s.waited) +
                    ",\"flashes\":" + std::to_string(s.flashes) +
                    ",\"busy_ms\":" + milliseconds(s.busy) +
                    ",\"run_ms\":" + milliseconds(s.run) +
                    ",\"latency_ms\":{\"p50\":" + milliseconds(s.p50) +
                    ",\"p95\":" + milliseconds(s.p95) +
                    ",\"max\":" + milliseconds(s.max) +
                    "},\"residue_max\":" + std::to_string(s.residueMax);
  if (s.residueMax > 0)
    out += ",\"residue_at\":[" + std::to_string(s.residueX) + ',' +
           std::to_string(s.residueY) + ']';
  return out;
}

}  // namespace zodm::model
