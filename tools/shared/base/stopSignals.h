// SPDX-License-Identifier: MIT
// The signals that stop a tool (SIGINT, SIGTERM) and, for a service that
// re-reads its configuration, SIGHUP: they must reach the receive loop,
// which takes them between datagrams, so no other thread may take them.
#ifndef ZODM_TOOLS_BASE_STOPSIGNALS_H
#define ZODM_TOOLS_BASE_STOPSIGNALS_H

#include <signal.h>

namespace zodm::tools {

// SIGINT, SIGTERM and SIGHUP.
sigset_t stopSignals();

// Blocks the stop signals on this thread while it lives: threads started
// meanwhile inherit that mask, so the stop signals always reach the
// receive loop.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked();
  ~StopSignalsBlocked();
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_BASE_STOPSIGNALS_H
