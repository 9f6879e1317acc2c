// SPDX-License-Identifier: MIT
// See clock.h.
#include "clock.h"

namespace zodm::tools {

Clock::time_point toolStart() {
  static const Clock::time_point start = Clock::now();
  return start;
}

int64_t microsSinceStart(Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::microseconds>(time -
                                                               toolStart())
      .count();
}

}  // namespace zodm::tools
