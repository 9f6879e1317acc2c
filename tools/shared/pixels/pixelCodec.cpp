// SPDX-License-Identifier: MIT
// See pixelCodec.h.
#include "pixelCodec.h"

#include <zlib.h>

#include <array>
#include <climits>
#include <cstddef>
#include <string>
#include <vector>

namespace zodm::tools {

namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Each character's 6 bits, or -1 for one outside the alphabet ('=' too).
constexpr std::array<int8_t, 256> kValues = [] {
  std::array<int8_t, 256> values{};
  for (auto& v : values) v = -1;
  for (int i = 0; i < 64; ++i)
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return values;
}();

bool sizeIsValid(int width, int height) {
  return width >= 1 && width <= kMaxPixelsWidth && height >= 1 &&
         height <= kMaxPixelsHeight;
}

std::string sizeText(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// The base64 text of size bytes at data, padded.
std::string base64(const uint8_t* data, std::size_t size) {
  std::string out((size + 2) / 3 * 4, '=');
  std::size_t o = 0;
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t group = static_cast<uint32_t>(data[i]) << 16u |
                           static_cast<uint32_t>(data[i + 1]) << 8u |
                           data[i + 2];
    out[o++] = kAlphabet[group >> 18u];
    out[o++] = kAlphabet[group >> 12u & 63u];
    out[o++] = kAlphabet[group >> 6u & 63u];
    out[o++] = kAlphabet[group & 63u];
  }
  if (i < size) {
    const bool two = i + 1 < size;
    const uint32_t group = static_cast<uint32_t>(data[i]) << 16u |
                           (two ? static_cast<uint32_t>(data[i + 1]) << 8u : 0);
    out[o++] = kAlphabet[group >> 18u];
    out[o++] = kAlphabet[group >> 12u & 63u];
    if (two) out[o] = kAlphabet[group >> 6u & 63u];
  }
  return out;
}

// Decodes base64 text into bytes; false for anything but the padded
// standard form (a length that is a multiple of 4, '=' only as the last one
// or two characters, no stray bits before it). A '=' anywhere else is
// outside the alphabet.
bool unbase64(std::string_view text, std::vector<uint8_t>& bytes) {
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  bytes.resize(text.size() / 4 * 3 - padding);
  std::size_t o = 0;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t digits = last ? 4 - padding : 4;
    uint32_t group = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int v =
          k < digits ? kValues[static_cast<unsigned char>(text[i + k])] : 0;
      if (v < 0) return false;
      group = group << 6u | static_cast<uint32_t>(v);
    }
    // The bits that padding leaves over must be zero: one text per bytes.
    if ((digits == 2 && (group & 0xffffu) != 0) ||
        (digits == 3 && (group & 0xffu) != 0))
      return false;
    bytes[o++] = static_cast<uint8_t>(group >> 16u);
    if (digits > 2) bytes[o++] = static_cast<uint8_t>(group >> 8u);
    if (digits > 3) bytes[o++] = static_cast<uint8_t>(group);
  }
  return true;
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
