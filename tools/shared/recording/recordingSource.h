// SPDX-License-Identifier: MIT
// A recording (recording.h) as a source of datagrams: runService then runs
// it through the same parser, lines, hooks and totals as a live run, in
// the recording's own time, as fast as the machine goes (or paced for a
// live page's viewers, ReplayPace). The same requests
// give the same output, byte for byte: each line with the pixels its
// recorder wrote into it.
#ifndef ZODM_TOOLS_RECORDINGSOURCE_H
#define ZODM_TOOLS_RECORDINGSOURCE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "datagramSource.h"
#include "recording.h"

namespace zodm::tools {

// The pace of a replay that someone watches: each datagram comes once the
// clock has gone its recorded time since the first, divided by speed
// (above 0). The datagrams keep their recorded times, so the run is the one
// it would be unpaced.
class ReplayPace {
 public:
  // While a wait lasts, whileWaiting is told some fifty times a second the
  // recorded time the clock has reached. requests must outlive the pace.
  ReplayPace(const std::vector<RecordedRequest>& requests, double speed,
             std::function<void(int64_t recorded)> whileWaiting);
  // The recorded time the clock has reached, from any thread: the first
  // request's before the first wait, the last one's once it is through.
  int64_t now() const;
  double speed() const { return speed_; }
  // Waits until the recorded time reaches micros; false when a signal cut
  // the wait short, so that the receive loop sees it before going on.
  bool waitFor(int64_t micros);

 private:
  const std::vector<RecordedRequest>& requests_;
  const double speed_;
  const std::function<void(int64_t)> whileWaiting_;
  // When the first wait began, since the tool's start; -1: not yet.
  std::atomic<int64_t> from_{-1};
};

class RecordingSource final : public DatagramSource {
 public:
  // requests (and pace, when given) must outlive the source.
  explicit RecordingSource(const std::vector<RecordedRequest>& requests,
                           ReplayPace* pace = nullptr)
      : requests_(requests), pace_(pace) {}

  // Never waited for: its datagrams are all there (a paced one waits in
  // next()).
  int fd() const override { return -1; }
  Next next(Datagram& datagram) override;
  // Its lines are flushed at the end, and its run ends at its last
  // request's time.
  bool live() const override { return false; }

 private:
  const std::vector<RecordedRequest>& requests_;
  ReplayPace* const pace_;
  std::size_t next_ = 0;
  std::string members_;  // the datagram's pixels, written again
};

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_RECORDINGSOURCE_H
