// SPDX-License-Identifier: MIT
// Time in the e-paper model: microseconds from the start of a run, as the
// caller counts them, and the text the model's reports write them in.
#ifndef ZODM_TOOLS_EPAPER_MICROS_H
#define ZODM_TOOLS_EPAPER_MICROS_H

#include <cstdint>
#include <string>

namespace zodm::model {

using Micros = int64_t;

constexpr Micros kMicrosPerMs = 1000;

// Milliseconds of micros as exact decimal text: "890", "365.5", "0.125".
std::string milliseconds(Micros micros);

// A time as a reader takes it in: below 10 s, exact milliseconds ("890
// ms", "2717.173 ms"); from 10 s on, seconds to the millisecond ("10.000
// s", "174.000 s"), rounded half up.
std::string durationText(Micros micros);

}  // namespace zodm::model

#endif  // ZODM_TOOLS_EPAPER_MICROS_H
