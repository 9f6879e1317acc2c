// SPDX-License-Identifier: MIT
// The tools' time: microseconds since the tool started, on the monotonic
// clock (std::chrono::steady_clock), which the lines' "t", the e-paper
// model and the live page all count from.
#ifndef ZODM_TOOLS_BASE_CLOCK_H
#define ZODM_TOOLS_BASE_CLOCK_H

#include <chrono>
#include <cstdint>

namespace zodm::tools {

using Clock = std::chrono::steady_clock;

// The tool's start: the first call fixes it, so a tool that calls it first
// thing counts its times from its start.
Clock::time_point toolStart();

// Microseconds from toolStart() to time.
int64_t microsSinceStart(Clock::time_point time = Clock::now());

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_BASE_CLOCK_H
