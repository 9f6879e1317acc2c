// SPDX-License-Identifier: MIT
// See serviceReport.h.
#include "serviceReport.h"

#include <algorithm>
#include <vector>

#include "text.h"

namespace zodm::displayd {

namespace {

// One count of the device's report: its JSON member, the words after the
// number in the line, and the number.
struct Count {
  const char* member;
  const char* words;
  unsigned long long value;
};

std::vector<Count> counts(const QueueStats& s, const ServiceCounts& c) {
  return {
      {"requests", "refreshes queued", s.requests},
      {"submitted", "updates submitted", s.submitted},
      {"merged", "merged", s.merged},
      {"flashes", "flashing", s.flashes},
      {"waits_timed_out", "waits timed out", s.waitsTimedOut},
      {"waits_failed", "waits failed", s.waitsFailed},
      {"retries", "retries", s.retries},
      {"refused", "refused by the kernel", s.refused},
      {"left", "left undone", s.left + c.notTaken},
      {"most_waiting", "waiting at most", s.mostWaiting},
      {"dumps", "dumps (counted, not carried out)", c.dumps},
      {"outside", "partial updates off the panel", c.outside},
  };
}

}  // namespace

model::Summary panelSummary(const QueueStats& s, int64_t runMicros) {
  model::Summary summary;
  summary.requests = s.requests;
  summary.updates = s.submitted;
  summary.merged = s.merged;
  summary.waited = s.waited;
  summary.flashes = s.flashes;
  summary.busy = s.busy;
  summary.run = std::max(runMicros, s.busy);
  summary.p50 = s.p50;
  summary.p95 = s.p95;
  summary.max = s.max;
  return summary;
}

std::string deviceLine(const QueueStats& stats, const ServiceCounts& c) {
  std::string line = "device:";
  for (const Count& count : counts(stats, c)) {
    line += line.size() > 7 ? ", " : " ";
    tools::appendDecimal(line, count.value);
    line += ' ';
    line += count.words;
  }
  return line;
}

std::string deviceJson(const QueueStats& stats, const ServiceCounts& c) {
  std::string members;
  for (const Count& count : counts(stats, c)) {
    if (!members.empty()) members += ',';
    members += '"';
    members += count.member;
    members += "\":";
    tools::appendDecimal(members, count.value);
  }
  return members;
}

}  // namespace zodm::displayd
