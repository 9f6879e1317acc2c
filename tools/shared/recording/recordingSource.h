// SPDX-License-Identifier: MIT
// A recording (recording.h) as a source of datagrams: runService then runs
// it through the same parser, lines, hooks and totals as a live run, in
// the recording's own time, as fast as the machine goes. The same requests
// give the same output, byte for byte: each line with the pixels its
// recorder wrote into it.
#ifndef ZODM_TOOLS_RECORDINGSOURCE_H
#define ZODM_TOOLS_RECORDINGSOURCE_H

#include <cstddef>
#include <string>
#include <vector>

#include "datagramSource.h"
#include "recording.h"

namespace zodm::tools {

class RecordingSource final : public DatagramSource {
 public:
  // requests must outlive the source.
  explicit RecordingSource(const std::vector<RecordedRequest>& requests)
      : requests_(requests) {}

  // Never waited for: its datagrams are all there.
  int fd() const override { return -1; }
  Next next(Datagram& datagram) override;
  // Its lines are flushed at the end, and its run ends at its last
  // request's time.
  bool live() const override { return false; }

 private:
  const std::vector<RecordedRequest>& requests_;
  std::size_t next_ = 0;
  std::string members_;  // the datagram's pixels, written again
};

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_RECORDINGSOURCE_H
