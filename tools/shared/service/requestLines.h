// SPDX-License-Identifier: MIT
// The line the display services (zodm-listen, zodm-screen) print for each
// received datagram: an accepted request's values, or the refused text shown
// whole, as text or as one JSON object (a recording's line: with its time and
// its text as it arrived).
#ifndef ZODM_TOOLS_REQUESTLINES_H
#define ZODM_TOOLS_REQUESTLINES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "area.h"
#include "zodm.h"

namespace zodm::tools {

// The versions of the recording format (the totals object's "format"): 1
// for lines without pixels, 2 for a recorder's that carry the pixels of
// each refresh ("rect", "pixels" or "pixels_error"). The readers take both.
constexpr int kRecordingFormat = 1;
constexpr int kPixelsRecordingFormat = 2;

// A datagram and what the library's parser made of it.
struct Received {
  int64_t micros = 0;                 // when it arrived, since the tool started
  std::string_view text;              // as it arrived, followed by a NUL
  std::optional<DmCommand> accepted;  // empty: the library refused it
  // Members that its JSON line carries before "text", each with its
  // leading comma: a recorder's pixels (",\"rect\":[...],\"pixels\":...").
  std::string_view members;
};

// An accepted request as "name key=value ..." (a partial update's corners as
// one "rect=(x,y)-(x,y)" word) or, with json, as one JSON object.
std::string describe(const DmCommand& command, bool json);

// A refused text, shown whole between quotes with every byte outside
// 0x20..0x7e escaped: "refused \"...\"" or a JSON object.
std::string describeRefused(std::string_view bytes, bool json);

// The line a service prints for a datagram. Without json: describe's or
// describeRefused's line. With json, one object: "t" (appendSeconds) first,
// then describe's or describeRefused's members, then received.members,
// then "text", the datagram as it arrived. A text that holds a NUL reached the
// parser only up to it; both forms then say so and how many bytes followed it:
// " (cut at a NUL; N bytes followed)" and "after_nul":N.
std::string requestLine(const Received& received, bool json);
// The same with members, each with its leading comma (",\"refresh\":3"),
// added at the end of the JSON object; the text form is left as it is.
// zodm-listen adds none; a tool that prints more about a datagram (the
// emulator) joins its other lines to it this way.
std::string requestLine(const Received& received, bool json,
                        std::string_view members);

// Appends the members that carry a refresh's pixels in a line of format 2:
// ,"rect":[x0,y0,x1,y1] (corners in order), then ,"pixels":"TEXT" (the
// pixels' text, pixelCodec.h), or, when the recorder could not read them,
// ,"pixels_error":"REASON" instead (REASON printable ASCII).
void appendPixels(std::string& out, const geometry::Rect& rect,
                  std::string_view pixels);
void appendPixelsError(std::string& out, const geometry::Rect& rect,
                       std::string_view reason);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_REQUESTLINES_H
