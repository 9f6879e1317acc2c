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

std::string durationText(Micros micros) {
  constexpr Micros kSecondsFrom = 10 * 1000 * kMicrosPerMs;
  const Micros m = micros < 0 ? -micros : micros;
  if (m < kSecondsFrom) return milliseconds(micros) + " ms";
  const Micros ms = (m + kMicrosPerMs / 2) / kMicrosPerMs;
  std::string out;
  if (micros < 0) out += '-';
  out += std::to_string(ms / 1000);
  out += '.';
  out += std::to_string(ms % 1000 + 1000).substr(1);
  out += " s";
  return out;
}

void Latencies::fill(Summary& summary) const {
  if (count_ == 0) return;
  summary.p50 = percentile(50);
  summary.p95 = percentile(95);
  summary.max = max_;
}

LatencyFigures Latencies::figures() const {
  LatencyFigures f;
  f.requests = count_;
  if (count_ == 0) return f;
  f.p50 = percentile(50);
  f.p95 = percentile(95);
  f.max = max_;
  return f;
}

unsigned long long busyPercent(const Summary& s) {
  return s.run > 0 ? static_cast<unsigned long long>(
                         (s.busy * 100 + s.run / 2) / s.run)
                   : 0;
}

namespace {

constexpr const char* kKindNames[kRefreshKinds] = {"full", "partial", "erase"};
constexpr const char* kKindTexts[kRefreshKinds] = {"full updates",
                                                   "partial updates", "erases"};

// "p50 120 ms, p95 240 ms, max 300 ms (6 requests)"
std::string describeLatency(const LatencyFigures& f) {
  return "p50 " + durationText(f.p50) + ", p95 " + durationText(f.p95) +
         ", max " + durationText(f.max) + " (" +
         plural(f.requests, "request", "requests") + ")";
}

// "; latency of quality 0: ...; of full updates: ..." for the groups that
// had requests.
std::string describeGroups(const Summary& s) {
  std::string out;
  const auto group = [&](const std::string& name, const LatencyFigures& f) {
    if (f.requests == 0) return;
    out += out.empty() ? "; latency of " : "; of ";
    out += name + ": " + describeLatency(f);
  };
  for (std::size_t q = 0; q < kQualityLevels; ++q)
    group("quality " + std::to_string(q), s.byQuality[q]);
  for (std::size_t k = 0; k < kRefreshKinds; ++k)
    group(kKindTexts[k], s.byKind[k]);
  return out;
}

// The residue's area: ", 1200 pixels with a residue of 16 or more, in
// (0,0)-(99,11)".
std::string describeArea(const Summary& s) {
  const std::string of = " with a residue of " +
                         std::to_string(kResidueAreaThreshold) + " or more";
  if (s.residueArea == 0) return ", no pixel" + of;
  return ", " + plural(s.residueArea, "pixel", "pixels") + of + ", in (" +
         std::to_string(s.residueX0) + ',' + std::to_string(s.residueY0) +
         ")-(" + std::to_string(s.residueX1) + ',' +
         std::to_string(s.residueY1) + ')';
}

// {"requests":N,"p50_ms":..,"p95_ms":..,"max_ms":..}
std::string latencyJson(const LatencyFigures& f) {
  return "{\"requests\":" + std::to_string(f.requests) +
         ",\"p50_ms\":" + milliseconds(f.p50) +
         ",\"p95_ms\":" + milliseconds(f.p95) +
         ",\"max_ms\":" + milliseconds(f.max) + '}';
}

}  // namespace

std::string describeSummary(const Summary& s) {
  std::string out =
      "panel: " + plural(s.updates, "update", "updates") + " (" +
      std::to_string(s.merged) + " merged), " +
      plural(s.collisions, "collision", "collisions") + ", waited " +
      durationText(s.waited) + ", " + plural(s.flashes, "flash", "flashes") +
      ", busy " + durationText(s.busy) + " of " + durationText(s.run) + " (" +
      std::to_string(busyPercent(s)) + "%), latency p50 " +
      durationText(s.p50) + ", p95 " + durationText(s.p95) + ", max " +
      durationText(s.max) + ", largest residue " + std::to_string(s.residueMax);
  if (s.residueMax > 0)
    out += " at (" + std::to_string(s.residueX) + ',' +
           std::to_string(s.residueY) + ')';
  out += describeArea(s);
  out += describeGroups(s);
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
  out += ",\"residue_area\":" + std::to_string(s.residueArea) +
         ",\"residue_threshold\":" + std::to_string(kResidueAreaThreshold);
  if (s.residueArea > 0)
    out += ",\"residue_box\":[" + std::to_string(s.residueX0) + ',' +
           std::to_string(s.residueY0) + ',' + std::to_string(s.residueX1) +
           ',' + std::to_string(s.residueY1) + ']';
  out += ",\"latency_by_quality\":{";
  for (std::size_t q = 0; q < kQualityLevels; ++q)
    out += (q == 0 ? "\"" : ",\"") + std::to_string(q) +
           "\":" + latencyJson(s.byQuality[q]);
  out += "},\"latency_by_kind\":{";
  for (std::size_t k = 0; k < kRefreshKinds; ++k)
    out += std::string(k == 0 ? "\"" : ",\"") + kKindNames[k] +
           "\":" + latencyJson(s.byKind[k]);
  out += '}';
  return out;
}

}  // namespace zodm::model
