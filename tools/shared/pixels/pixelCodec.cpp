// SPDX-License-Identifier: MIT
// See pixelCodec.h.
#include "pixelCodec.h"

#include <zlib.h>

#include <array>
#include <climits>
#include <cstddef>
#include <string>
#include <vector>

#include "base64.h"

namespace zodm::tools {

namespace {

bool sizeIsValid(int width, int height) {
  return width >= 1 && width <= kMaxPixelsWidth && height >= 1 &&
         height <= kMaxPixelsHeight;
}

std::string sizeText(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// Inflates the zlib stream in bytes into out, expected bytes long, and at
// most one byte more (into a spare byte), so that what claims more is told
// from what is whole without ever inflating it. "" or the problem.
std::string inflateInto(const std::vector<uint8_t>& bytes, uint8_t* out,
                        std::size_t expected, const std::string& size) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return "zlib has no memory";
  // zlib takes a const input through a non-const pointer; it only reads.
  stream.next_in = const_cast<Bytef*>(bytes.data());
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = out;
  stream.avail_out = static_cast<uInt>(expected);
  uint8_t spare = 0;
  std::string problem;
  for (;;) {
    const int result = inflate(&stream, Z_NO_FLUSH);
    if (result == Z_STREAM_END) break;
    if (result == Z_DATA_ERROR || result == Z_NEED_DICT) {
      problem = std::string("not zlib data (") +
                (stream.msg != nullptr ? stream.msg : "needs a dictionary") +
                ")";
    } else if (result == Z_MEM_ERROR) {
      problem = "zlib has no memory";
    } else if (stream.avail_out == 0 && stream.total_out < expected + 1) {
      stream.next_out = &spare;  // out is full: is there more?
      stream.avail_out = 1;
      continue;
    } else if (stream.avail_out == 0) {
      problem = "holds more than " + size + " bytes";
    } else {
      problem = "zlib data cut short";
    }
    break;
  }
  if (problem.empty() && stream.total_out != expected)
    problem =
        "holds " + std::to_string(stream.total_out) + " bytes, not " + size;
  if (problem.empty() && stream.avail_in != 0)
    problem = std::to_string(stream.avail_in) + " bytes follow the zlib data";
  inflateEnd(&stream);
  return problem;
}

}  // namespace

std::string encodePixels(const uint8_t* gray, int width, int height,
                         int level) {
  if (!sizeIsValid(width, height) || level < 0 || level > 9) return {};
  const auto size = static_cast<uLong>(width) * static_cast<uLong>(height);
  std::vector<uint8_t> compressed(compressBound(size));
  uLongf length = compressed.size();
  if (compress2(compressed.data(), &length, gray, size, level) != Z_OK)
    return {};
  return base64(compressed.data(), length);
}

std::string decodePixels(std::string_view text, int width, int height,
                         uint8_t* out) {
  if (!sizeIsValid(width, height))
    return "size " + sizeText(width, height) + " is outside " +
           sizeText(kMaxPixelsWidth, kMaxPixelsHeight);
  if (text.empty()) return "empty";
  const std::string size = sizeText(width, height);
  const auto expected =
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  // No deflate writer makes a stream much longer than what it holds (stored
  // blocks add 5 bytes in 65,535); a longer one is refused before it is
  // decoded, which also keeps its length within zlib's counts.
  if (text.size() / 4 * 3 > expected + expected / 8 + 1024)
    return "too long for " + size;
  std::vector<uint8_t> bytes;
  if (!unbase64(text, bytes)) return "not base64";
  return inflateInto(bytes, out, expected, size);
}

}  // namespace zodm::tools
