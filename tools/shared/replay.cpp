// SPDX-License-Identifier: MIT
// See replay.h.
#include "replay.h"

#include <csignal>
#include <cstdint>

namespace zodm::tools {

int replayRecording(const ServiceOptions& options,
                    const std::vector<RecordedRequest>& requests,
                    Totals& totals, const AfterRequest& after,
                    const OnClose& onClose) {
  // A closed output pipe is reported as a write error, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  totals.bound = true;
  int64_t end = 0;
  int status = 0;
  for (const RecordedRequest& request : requests) {
    if (options.count != 0 && totals.received >= options.count) break;
    // std::string keeps a NUL after its bytes, as the parser needs.
    status = handleDatagram(options, request.micros, request.text, totals,
                            after, false);
    end = request.micros;
    if (status != 0) break;
  }
  return closeRun(options, totals, end, onClose, status);
}

}  // namespace zodm::tools
