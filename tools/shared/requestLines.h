// SPDX-License-Identifier: MIT
// The line the display services (zodm-listen, zodm-screen) print for each
// received datagram: an accepted request's values, or the refused text shown
// whole, as text or as one JSON object (a recording's line: with its time and
// its text as it arrived); and the decimal and hex writers that the lines
// and the live page share.
#ifndef ZODM_TOOLS_REQUESTLINES_H
#define ZODM_TOOLS_REQUESTLINES_H

#include <charconv>
#include <cstdint>
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

// Appends micros, a count of microseconds of at least 0, as seconds with
// exactly six decimals ("1.234567"): the same count always gives the same
// text, so a replayed recording prints its times byte for byte.
void appendSeconds(std::string& out, int64_t micros);

// The line a service prints for a datagram that arrived micros after the
// tool started: with the accepted command, or with nullptr when the
// library refused text. Without json: describe's or describeRefused's
// line. With json, one object: "t" (appendSeconds) first, then describe's
// or describeRefused's members, then "text", the datagram as it arrived.
// A text that holds a NUL reached the parser only up to it; both forms then
// say so and how many bytes followed it: " (cut at a NUL; N bytes
// followed)" and "after_nul":N.
std::string requestLine(int64_t micros, const DmCommand* accepted,
                        std::string_view text, bool json);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_REQUESTLINES_H
