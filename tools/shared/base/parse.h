// SPDX-License-Identifier: MIT
// Reading the numbers the tools' users write on the command line.
#ifndef ZODM_TOOLS_BASE_PARSE_H
#define ZODM_TOOLS_BASE_PARSE_H

#include <cstdint>
#include <string_view>

namespace zodm::tools {

// Reads word as a whole decimal number within min..max into value; false
// when it is anything else (a sign, a space, digits beyond the range).
bool parseWhole(std::string_view word, unsigned long long min,
                unsigned long long max, unsigned long long& value);

// True for digits alone that make a number beyond any unsigned long long.
bool tooLarge(std::string_view word);

// What parseInt32 found in a word.
enum class IntWord { kValue, kOutOfRange, kNotAnInteger };

// Reads word as a decimal integer ("-" and digits only) that fits in 32
// bits into value.
IntWord parseInt32(std::string_view word, int32_t& value);

// The largest speed of a replay: a million times faster is as fast as it
// goes.
constexpr double kMaxSpeed = 1e6;

// Reads word as a replay's speed, a decimal number (digits, at most one
// point) from 0 to kMaxSpeed; false when it is anything else.
bool parseSpeed(std::string_view word, double& speed);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_BASE_PARSE_H
