// SPDX-License-Identifier: MIT
// Pixels to text and back: rectangles of the kinds a recording holds, and
// texts that are damaged, cut, padded or lie about their size, each refused
// with its problem and without a byte written past the rectangle.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pixelCodec.h"

namespace zodm::tools {
namespace {

using Pixels = std::vector<uint8_t>;
constexpr int kFullWidth = kMaxPixelsWidth;
constexpr int kFullHeight = kMaxPixelsHeight;

// The index of pixel (x, y) in rows of width pixels.
std::size_t at(int x, int y, int width) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
         static_cast<std::size_t>(x);
}

Pixels sized(int width, int height, uint8_t gray = 255) {
  return Pixels(at(0, height, width), gray);
}

// White with rows of dark glyph-sized blobs and gray edges, as a page of
// text.
Pixels textPage(int width, int height) {
  Pixels p = sized(width, height);
  std::mt19937 random(7);
  for (int top = 40; top + 20 < height; top += 32)
    for (int x = 30; x + 12 < width; x += 10 + static_cast<int>(random() % 4))
      for (int y = top; y < top + 18; ++y)
        for (int dx = 0; dx < 8; ++dx)
          if (random() % 3 != 0)
            p[at(x + dx, y, width)] = dx == 0 || dx == 7 ? 160 : 20;
  return p;
}

// A smooth gradient with noise of the given amplitude (up to 256: noise
// alone), as a photograph.
Pixels photograph(int width, int height, uint32_t noise = 9) {
  Pixels p = sized(width, height);
  std::mt19937 random(11);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      p[at(x, y, width)] =
          static_cast<uint8_t>((x + y) * 255 / (width + height) +
                               static_cast<int>(random() % noise));
  return p;
}

TEST(PixelCodec, RoundTrips) {
  const struct {
    const char* name;
    int width, height;
    Pixels pixels;
  } kCases[] = {
      {"1x1", 1, 1, {42}},
      {"a row", kFullWidth, 1, textPage(kFullWidth, 1)},
      {"a key", 40, 60, photograph(40, 60)},
      {"a photograph", 300, 200, photograph(300, 200)},
      {"a page of text", kFullWidth, kFullHeight,
       textPage(kFullWidth, kFullHeight)},
      // Incompressible: zlib stores it, the text is longest.
      {"noise", kFullWidth, kFullHeight,
       photograph(kFullWidth, kFullHeight, 256)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    for (const int level : {0, kPixelsZlibLevel, 9}) {
      const std::string text =
          encodePixels(c.pixels.data(), c.width, c.height, level);
      ASSERT_FALSE(text.empty());
      EXPECT_EQ(std::string::npos,
                text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghij"
                                       "klmnopqrstuvwxyz0123456789+/="));
      // Guard bytes after the rectangle must stay as they are.
      Pixels out(c.pixels.size() + 16, 0xa5);
      EXPECT_EQ("", decodePixels(text, c.width, c.height, out.data()));
      EXPECT_EQ(c.pixels, Pixels(out.begin(), out.end() - 16));
      EXPECT_EQ(Pixels(16, 0xa5), Pixels(out.end() - 16, out.end()));
    }
  }
}

TEST(PixelCodec, EncodesOnlyRectanglesOfTheArea) {
  const Pixels pixels = sized(kFullWidth + 1, 2);
  EXPECT_EQ("", encodePixels(pixels.data(), 0, 1));
  EXPECT_EQ("", encodePixels(pixels.data(), kFullWidth + 1, 1));
  EXPECT_EQ("", encodePixels(pixels.data(), 1, kFullHeight + 1));
  EXPECT_EQ("", encodePixels(pixels.data(), 1, -1));
  EXPECT_EQ("", encodePixels(pixels.data(), 1, 1, 10));
}

// The zlib stream (level 6) of bytes, and base64 of any bytes, written
// here without the codec.
std::string zlibOf(const Pixels& bytes) {
  std::vector<uint8_t> out(compressBound(bytes.size()));
  uLongf length = out.size();
  compress(out.data(), &length, bytes.data(), bytes.size());
  return std::string(reinterpret_cast<const char*>(out.data()), length);
}

std::string base64Of(const std::string& bytes) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t group = 0;
  int bits = 0;
  for (const char c : bytes) {
    group = group << 8 | static_cast<unsigned char>(c);
    bits += 8;
    while (bits >= 6) out += kDigits[group >> (bits -= 6) & 63];
  }
  if (bits > 0) out += kDigits[group << (6 - bits) & 63];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

TEST(PixelCodec, RefusesDamagedTexts) {
  const Pixels hundred = photograph(10, 10);
  const std::string zlib = zlibOf(hundred);
  std::string badCheck = zlib;
  badCheck.back() = static_cast<char>(badCheck.back() ^ 1);
  std::string badPadding = base64Of(zlib.substr(0, 4));  // 4 bytes: "xx=="
  badPadding[badPadding.size() - 3] = 'B';
  const struct {
    const char* name;
    std::string text;
    int width, height;
    std::string problem;
  } kCases[] = {
      {"width 0", base64Of(zlib), 0, 10, "size 0x10 is outside 769x1025"},
      {"too wide", base64Of(zlib), 770, 10, "size 770x10 is outside 769x1025"},
      {"too high", base64Of(zlib), 10, 1026,
       "size 10x1026 is outside 769x1025"},
      {"empty", "", 10, 10, "empty"},
      {"length not a multiple of 4", base64Of(zlib).substr(1), 10, 10,
       "not base64"},
      {"outside the alphabet", "eJz*" + base64Of(zlib).substr(4), 10, 10,
       "not base64"},
      {"URL-safe alphabet", "-_-_", 10, 10, "not base64"},
      {"padding inside", "AA==" + base64Of(zlib), 10, 10, "not base64"},
      {"three padding characters", "A===", 10, 10, "not base64"},
      {"stray bits before the padding", badPadding, 10, 10, "not base64"},
      {"a line break", base64Of(zlib).insert(4, "\n") + "AAA", 10, 10,
       "not base64"},
      {"not zlib", base64Of("hello, world"), 10, 10,
       "not zlib data (incorrect header check)"},
      {"damaged checksum", base64Of(badCheck), 10, 10,
       "not zlib data (incorrect data check)"},
      {"cut short", base64Of(zlib.substr(0, zlib.size() - 5)), 10, 10,
       "zlib data cut short"},
      {"fewer pixels", base64Of(zlibOf(photograph(10, 9))), 10, 10,
       "holds 90 bytes, not 10x10"},
      {"more pixels", base64Of(zlibOf(photograph(10, 11))), 10, 10,
       "holds more than 10x10 bytes"},
      // 8 MiB of white in 8 KiB: inflated no further than 10,001 bytes.
      {"a bomb", base64Of(zlibOf(Pixels(1 << 23, 255))), 100, 100,
       "holds more than 100x100 bytes"},
      {"bytes after the stream", base64Of(zlib + "abc"), 10, 10,
       "3 bytes follow the zlib data"},
      {"longer than any stream", std::string(4000, 'A'), 10, 10,
       "too long for 10x10"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Pixels out(at(0, c.height, std::max(c.width, 0)) + 16, 0xa5);
    EXPECT_EQ(c.problem, decodePixels(c.text, c.width, c.height, out.data()));
    EXPECT_EQ(Pixels(16, 0xa5), Pixels(out.end() - 16, out.end()));
  }
}

}  // namespace
}  // namespace zodm::tools
