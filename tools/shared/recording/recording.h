// SPDX-License-Identifier: MIT
// Recordings: what a display service's --json lines hold, read back. Each
// line is one JSON object; a request's carries "t", its arrival in seconds
// since the tool started, and "text", the datagram as it arrived (one
// code point per byte, \u0000..\u00ff). The totals object, which carries
// "received", ends the recording with the format's version in "format".
// Reading needs nlohmann-json (recording.cpp); this header does not.
#ifndef ZODM_TOOLS_RECORDING_H
#define ZODM_TOOLS_RECORDING_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zodm::tools {

// The longest text a recording may hold: the largest IPv4 UDP payload.
constexpr std::size_t kMaxRecordedText = 65507;

// One recorded request: when it arrived, in microseconds since the tool
// started, and its bytes as they arrived.
struct RecordedRequest {
  int64_t micros = 0;
  std::string text;
};

// Reads a whole recording held in content into requests, in order. Skips
// the totals object (any object with "received"), whose "format", when
// present, must be kRecordingFormat. Returns false at the first line that
// is not a JSON object, lacks "t" or "text", has a "t" that is not a
// number from 0 on or is earlier than the request before, or a "text" that
// is not a string of bytes (code points up to \u00ff) of at most
// kMaxRecordedText; problem is then "line N: REASON". Skips zodm-screen's
// lines of what became of a request too: an object with "fate" and
// without "text".
bool parseRecording(std::string_view content,
                    std::vector<RecordedRequest>& requests,
                    std::string& problem);

// Reads the recording in the file at path ("-": standard input) whole and
// checks it with parseRecording. Returns false, having said in one line on
// standard error "TOOL: FILE:N: REASON" (or why FILE cannot be read), when
// it cannot.
bool loadRecording(const char* tool, const std::string& path,
                   std::vector<RecordedRequest>& requests);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_RECORDING_H
