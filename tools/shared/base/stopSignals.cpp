// SPDX-License-Identifier: MIT
// See stopSignals.h.
#include "stopSignals.h"

#include <pthread.h>

namespace zodm::tools {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

StopSignalsBlocked::StopSignalsBlocked() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

StopSignalsBlocked::~StopSignalsBlocked() {
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace zodm::tools
