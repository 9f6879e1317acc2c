// SPDX-License-Identifier: MIT
// The line the display services (zodm-listen, zodm-screen) print for each
// received datagram: an accepted request's values, or the refused text shown
// whole, as text or as one JSON object; and the decimal and hex writers that
// the lines and the live page share.
#ifndef ZODM_TOOLS_REQUESTLINES_H
#define ZODM_TOOLS_REQUESTLINES_H

#include <charconv>
#include <string>
#include <string_view>

#include "zodm.h"

namespace zodm::tools {

// An accepted request as "name key=value ..." (a partial update's corners as
// one "rect=(x,y)-(x,y)" word) or, with json, as one JSON object.
std::string describe(const DmCommand& command, bool json);

// Appends the decimal text of value, an integer of any type.
template <typename Integer>
void appendDecimal(std::string& out, Integer value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// Appends prefix and the two lower-case hex digits of byte.
void appendHex(std::string& out, std::string_view prefix, unsigned char byte);

// A refused text, shown whole between quotes with every byte outside
// 0x20..0x7e escaped: "refused \"...\"" or a JSON object.
std::string describeRefused(std::string_view bytes, bool json);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_REQUESTLINES_H
