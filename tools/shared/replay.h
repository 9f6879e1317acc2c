// SPDX-License-Identifier: MIT
// A recording (recording.h) run through a display service's pipeline
// instead of the socket: the same parser, lines, callbacks and totals as a
// live run, in the recording's own time, as fast as the machine goes.
#ifndef ZODM_TOOLS_REPLAY_H
#define ZODM_TOOLS_REPLAY_H

#include <vector>

#include "recording.h"
#include "serviceLoop.h"

namespace zodm::tools {

// Runs requests, in order, through handleDatagram with their recorded
// times (stopping after options.count of them, when set), then ends with
// closeRun at the last request's time. Binds and sends nothing; the output
// is flushed at the end, not per line. The same requests give the same
// output, byte for byte. Sets totals.bound, as a live run does once it
// receives. Returns 0, or kExitFailure when printing, after or onClose's
// output fails.
int replayRecording(const ServiceOptions& options,
                    const std::vector<RecordedRequest>& requests,
                    Totals& totals, const AfterRequest& after,
                    const OnClose& onClose = {});

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_REPLAY_H
