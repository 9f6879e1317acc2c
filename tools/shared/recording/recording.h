// SPDX-License-Identifier: MIT
// Recordings: what a display service's --json lines hold, read back. Each
// line is one JSON object; a request's carries "t", its arrival in seconds
// since the tool started, and "text", the datagram as it arrived (one
// code point per byte, \u0000..\u00ff). In format 2 an accepted partial or
// full update's line may also carry its rectangle, "rect", and the pixels
// the recorder read there, "pixels" (or "pixels_error", why it read none).
// The totals object, which carries "received", ends the recording with the
// format's version in "format". Reading needs nlohmann-json
// (recording.cpp), and zlib to check the pixels; this header needs neither.
#ifndef ZODM_TOOLS_RECORDING_H
#define ZODM_TOOLS_RECORDING_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "area.h"

namespace zodm::tools {

// The longest text a recording may hold: the largest IPv4 UDP payload.
constexpr std::size_t kMaxRecordedText = 65507;

// The pixels a recorder read for a refresh, as its line carries them.
struct RecordedPixels {
  geometry::Rect rect{};  // "rect": corners in order, the request's own
  std::string text;       // "pixels": zlib, then base64 (pixelCodec.h)
  std::string error;      // "pixels_error" instead: why it read none
};

// One recorded request: when it arrived, in microseconds since the tool
// started, its bytes as they arrived, and the pixels recorded with it.
struct RecordedRequest {
  int64_t micros = 0;
  std::string text;
  std::optional<RecordedPixels> pixels;
};

// What a recording says of itself beyond its requests.
struct RecordingInfo {
  int format = 0;       // its totals' "format"; 0: none given
  bool pixels = false;  // a line carries "rect"
  // The format a replay of it writes: 2 when it says 2 or carries pixels.
  int replayFormat() const { return format == 2 || pixels ? 2 : 1; }
};

// Reads a whole recording held in content into requests, in order. Skips
// the totals object (any object with "received"), whose "format", when
// present, must be 1 or 2, and the emulator's own lines (an object with
// "fate" and no "text"). Returns false at the first line that is not one
// JSON object (saying what is wrong: cut short, text after it, a number
// JSON has not or cannot hold, a key given twice, a blank line), lacks "t"
// or "text", has a "t" that is not a number from 0 on or is earlier than
// the request before, a "text" that is not a string of bytes (code points
// up to \u00ff) of at most kMaxRecordedText, or pixels that are not those
// of its request: "rect" not [x0,y0,x1,y1] with corners in order, not the
// rectangle the line's "request" refreshes (a "partial" one's corners in
// order, a "display" one's whole area; no other request carries pixels),
// "pixels" that do not decode to its width x height (where zlib is found),
// or a "pixels_error" that is not printable ASCII; problem is then "line N:
// REASON". info, when given, is filled in.
bool parseRecording(std::string_view content,
                    std::vector<RecordedRequest>& requests,
                    std::string& problem, RecordingInfo* info = nullptr);

// Reads the recording in the file at path ("-": standard input) whole and
// checks it with parseRecording. Returns false, having said in one line on
// standard error "TOOL: FILE:N: REASON" (or why FILE cannot be read), when
// it cannot.
bool loadRecording(const char* tool, const std::string& path,
                   std::vector<RecordedRequest>& requests,
                   RecordingInfo* info = nullptr);

// The members that a recorded request's line carried beyond its request,
// written again as the recorder wrote them (requestLines.h's
// appendPixels): "" for a request without pixels.
std::string recordedMembers(const RecordedRequest& request);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_RECORDING_H
