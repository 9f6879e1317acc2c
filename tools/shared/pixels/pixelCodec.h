// SPDX-License-Identifier: MIT
// The pixels of a refreshed rectangle as a recording carries them: 8-bit gray
// (0 black, 255 white), row after row from the top left, compressed with
// zlib (a zlib stream, as zlib's compress() and Python's zlib.compress()
// write it) and written in base64 (the standard alphabet, with padding), so
// that they sit in a JSON string with no escaping. Python reads them back
// with zlib.decompress(base64.b64decode(text)). Needs zlib.
#ifndef ZODM_TOOLS_PIXELCODEC_H
#define ZODM_TOOLS_PIXELCODEC_H

#include <cstdint>
#include <string>
#include <string_view>

#include "zodm.h"

namespace zodm::tools {

// The largest rectangle: the display area.
constexpr int kMaxPixelsWidth = DM_MAX_X + 1;
constexpr int kMaxPixelsHeight = DM_MAX_Y + 1;

// The zlib level encodePixels uses unless told: the fastest. A recorder on
// an e-reader encodes while it receives, so time counts more than bytes: an
// hour of reading (bench/pixels_bench.cpp) takes 1.6 times the bytes of
// level 6 (15.6 MB against 9.7) in a quarter of the CPU time.
constexpr int kPixelsZlibLevel = 1;

// The text of the width x height pixels at gray, compressed at level (zlib's
// 0..9). Returns "" (never the text of any pixels) when width or height lies
// outside 1..kMaxPixelsWidth or 1..kMaxPixelsHeight, the level outside
// 0..9, or zlib has no memory.
std::string encodePixels(const uint8_t* gray, int width, int height,
                         int level = kPixelsZlibLevel);

// Decodes text into out, which holds width x height bytes. Returns "" when
// text held exactly that many pixels; otherwise, having written no byte
// beyond width x height into out (perhaps some within), the problem in a few
// words:
//   "size WxH is outside 769x1025"      width or height out of range
//   "empty"                             no text
//   "too long for WxH"                  longer than any zlib writer makes
//                                       the stream of so many pixels
//   "not base64"                        a character outside the alphabet, a
//                                       length not a multiple of 4, padding
//                                       inside, or stray bits at its end
//   "not zlib data (REASON)"            zlib's reason, e.g. "incorrect header
//                                       check", "incorrect data check"
//   "zlib data cut short"               the stream ends too soon
//   "holds N bytes, not WxH"            fewer pixels than the rectangle has
//   "holds more than WxH bytes"         more (inflating stops one byte past)
//   "N bytes follow the zlib data"      something after the stream's end
//   "zlib has no memory"
std::string decodePixels(std::string_view text, int width, int height,
                         uint8_t* out);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_PIXELCODEC_H
