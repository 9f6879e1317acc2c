// SPDX-License-Identifier: MIT
// The framebuffer read as gray, without a device: buffers laid out as a
// device's memory (rows wider than the visible width, the visible part at an
// offset), each in a vector of exactly its size, so that a read past it is
// caught under AddressSanitizer; the formats a device may report; and paths
// that are no device.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "framebufferDevice.h"
#include "zodm.h"

namespace zodm::tools {
namespace {

std::size_t bytesOf(PixelFormat format) {
  return format == PixelFormat::kGray8    ? 1
         : format == PixelFormat::kRgb565 ? 2
                                          : 4;
}

// A device's memory of rows lines of line bytes, every pixel background,
// in the machine's byte order.
struct Memory {
  Layout layout;
  std::vector<uint8_t> bytes;

  Memory(const Layout& l, std::size_t rows, uint32_t background)
      : layout(l), bytes(l.lineLength * rows) {
    const std::size_t size = bytesOf(l.format);
    for (std::size_t line = 0; line < bytes.size(); line += l.lineLength)
      for (std::size_t at = 0; at + size <= l.lineLength; at += size)
        put(line + at, background);
  }
  void put(std::size_t at, uint32_t value) {
    const std::size_t size = bytesOf(layout.format);
    if (size == 1) bytes[at] = static_cast<uint8_t>(value);
    const auto half = static_cast<uint16_t>(value);
    if (size == 2) std::memcpy(&bytes[at], &half, 2);
    if (size == 4) std::memcpy(&bytes[at], &value, 4);
  }
  // Sets the device's pixel (x, y) of the virtual buffer.
  void set(uint32_t x, uint32_t y, uint32_t value) {
    put(y * layout.lineLength + x * bytesOf(layout.format), value);
  }
};

// A 6 x 4 visible screen at (3, 2) of a virtual buffer 11 pixels wide (and
// 3 bytes more a line) and 7 lines high. Each case sets one pixel, at
// request (1, 2), over a background, and reads (0,0)-(7,4): the pixel's
// gray at its place, the background's elsewhere in the visible part, white
// beyond it (columns 6 and 7, row 4).
TEST(FramebufferDevice, GrayOfEveryFormat) {
  const struct {
    const char* name;
    PixelFormat format;
    uint32_t background;
    uint8_t backgroundGray;
    uint32_t value;
    uint8_t gray;
  } kCases[] = {
      {"gray black", PixelFormat::kGray8, 0, 0, 0, 0},
      {"gray white", PixelFormat::kGray8, 0, 0, 255, 255},
      {"gray mid", PixelFormat::kGray8, 0, 0, 128, 128},
      {"565 white", PixelFormat::kRgb565, 0, 0, 0xffff, 255},
      {"565 black", PixelFormat::kRgb565, 0xffff, 255, 0x0000, 0},
      {"565 red", PixelFormat::kRgb565, 0, 0, 0xf800, 77},
      {"565 green", PixelFormat::kRgb565, 0, 0, 0x07e0, 149},
      {"565 blue", PixelFormat::kRgb565, 0, 0, 0x001f, 29},
      // Channels 16/32/16 replicate to 132, 130, 132.
      {"565 mid", PixelFormat::kRgb565, 0, 0, 0x8410, 131},
      // The top byte is no colour: black backgrounds with it set.
      {"8888 white", PixelFormat::kXrgb8888, 0xff000000, 0, 0x00ffffff, 255},
      {"8888 black", PixelFormat::kXrgb8888, 0, 0, 0xff000000, 0},
      {"8888 red", PixelFormat::kXrgb8888, 0xff000000, 0, 0x00ff0000, 77},
      {"8888 green", PixelFormat::kXrgb8888, 0xff000000, 0, 0x0000ff00, 149},
      {"8888 blue", PixelFormat::kXrgb8888, 0xff000000, 0, 0x000000ff, 29},
      {"8888 mid", PixelFormat::kXrgb8888, 0xff000000, 0, 0x00808080, 128},
      {"8888 unequal", PixelFormat::kXrgb8888, 0, 0, 0x00102030, 29},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto size = static_cast<uint32_t>(bytesOf(c.format));
    Memory memory({6, 4, 11 * size + 3, 3, 2, c.format}, 7, c.background);
    memory.set(3 + 1, 2 + 2, c.value);
    std::vector<uint8_t> out(8 * 5, 0x5a);
    ASSERT_TRUE(copyGray(memory.layout, memory.bytes.data(),
                         memory.bytes.size(), {0, 0, 7, 4}, out.data()));
    for (int y = 0; y < 5; ++y) {
      for (int x = 0; x < 8; ++x) {
        const uint8_t expected = x >= 6 || y >= 4   ? 255
                                 : x == 1 && y == 2 ? c.gray
                                                    : c.backgroundGray;
        EXPECT_EQ(expected, out[static_cast<std::size_t>(y * 8 + x)])
            << "at (" << x << "," << y << ")";
      }
    }
  }
}

Layout gray8(uint32_t width, uint32_t height, uint32_t line, uint32_t yoffset) {
  return {width, height, line, 0, yoffset, PixelFormat::kGray8};
}

// Layouts that promise more than the memory holds read white there, not
// past it; a rectangle outside the area or out of order is refused.
TEST(FramebufferDevice, ReadsNothingOutsideTheMemory) {
  constexpr uint8_t kInk = 7;  // of gray; RGB565 memory is 0, black
  const struct {
    const char* name;
    Layout layout;
    uint32_t rows;  // of memory
    Corners r;
    const char* read;  // row after row, '#' ink, '.' white; nullptr: refused
  } kCases[] = {
      {"inside", gray8(4, 3, 4, 0), 3, {1, 1, 2, 2}, "## ##"},
      {"memory ends before the visible rows",
       gray8(4, 3, 4, 1),
       3,
       {0, 0, 3, 2},
       "#### #### ...."},
      {"offset beyond the memory", gray8(4, 3, 4, 9), 3, {0, 0, 1, 0}, ".."},
      {"line shorter than the visible width",
       Layout{8, 2, 6, 2, 0, PixelFormat::kRgb565},
       2,
       {0, 0, 3, 0},
       "#..."},
      {"no line length", gray8(4, 3, 0, 0), 3, {0, 0, 1, 0}, ".."},
      {"a small screen's far corner",
       gray8(1, 1, 1, 0),
       1,
       {767, 1023, DM_MAX_X, DM_MAX_Y},
       ".. .."},
      {"corners out of order", gray8(4, 3, 4, 0), 3, {2, 0, 1, 0}, nullptr},
      {"beyond the area",
       gray8(4, 3, 4, 0),
       3,
       {0, 0, DM_MAX_X + 1, 0},
       nullptr},
      {"negative", gray8(4, 3, 4, 0), 3, {0, -1, 0, 0}, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const uint8_t ink = c.layout.format == PixelFormat::kGray8 ? kInk : 0;
    const std::size_t size = std::size_t{c.layout.lineLength} * c.rows;
    // At least one byte, so that data() points somewhere for every case.
    std::vector<uint8_t> memory(std::max<std::size_t>(1, size), ink);
    std::vector<uint8_t> out(64, 0x5a);
    ASSERT_EQ(c.read != nullptr,
              copyGray(c.layout, memory.data(), size, c.r, out.data()));
    if (c.read == nullptr) {
      EXPECT_EQ(std::vector<uint8_t>(64, 0x5a), out);
      continue;
    }
    std::string read;
    for (int y = c.r.y0, i = 0; y <= c.r.y1; ++y) {
      if (y > c.r.y0) read += ' ';
      for (int x = c.r.x0; x <= c.r.x1; ++x, ++i) {
        const uint8_t v = out[static_cast<std::size_t>(i)];
        read += v == 255 ? '.' : v == ink ? '#' : '?';
      }
    }
    EXPECT_EQ(c.read, read);
  }
}

// Screen information of the given depth, grayscale and channels (offset
// and length of red, green, blue), on a 758 x 1024 screen at (5, 1024).
fb_var_screeninfo screen(uint32_t bits, uint32_t grayscale,
                         std::array<uint32_t, 6> channels) {
  fb_var_screeninfo var{};
  var.xres = 758;
  var.yres = 1024;
  var.xres_virtual = 800;
  var.xoffset = 5;
  var.yoffset = 1024;
  var.bits_per_pixel = bits;
  var.grayscale = grayscale;
  var.red = {channels[0], channels[1], 0};
  var.green = {channels[2], channels[3], 0};
  var.blue = {channels[4], channels[5], 0};
  return var;
}

TEST(FramebufferDevice, AcceptsOnlyTheFormatsItReads) {
  const struct {
    fb_var_screeninfo var;
    PixelFormat format;
    const char* problem;  // nullptr: accepted
  } kCases[] = {
      {screen(8, 1, {0, 8, 0, 8, 0, 8}), PixelFormat::kGray8, nullptr},
      {screen(8, 0, {0, 8, 0, 8, 0, 8}), PixelFormat::kGray8, nullptr},
      {screen(16, 0, {11, 5, 5, 6, 0, 5}), PixelFormat::kRgb565, nullptr},
      {screen(32, 0, {16, 8, 8, 8, 0, 8}), PixelFormat::kXrgb8888, nullptr},
      // A FOURCC code in grayscale: no plain gray.
      {screen(8, 0x59455247, {0, 8, 0, 8, 0, 8}),
       {},
       "8 bits per pixel with grayscale 1497715271: only plain gray is read"},
      {screen(16, 0, {0, 5, 5, 6, 11, 5}),
       {},
       "16 bits per pixel with red 0/5, green 5/6, blue 11/5 (offset/length): "
       "only RGB565 is read"},
      {screen(16, 0, {10, 5, 5, 5, 0, 5}),
       {},
       "16 bits per pixel with red 10/5, green 5/5, blue 0/5 (offset/length): "
       "only RGB565 is read"},
      {screen(32, 0, {0, 8, 8, 8, 16, 8}),
       {},
       "32 bits per pixel with red 0/8, green 8/8, blue 16/8 (offset/length): "
       "only XRGB8888 is read"},
      {screen(24, 0, {16, 8, 8, 8, 0, 8}),
       {},
       "24 bits per pixel: only 8 (gray), 16 (RGB565) and 32 (XRGB8888) are "
       "read"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.var.bits_per_pixel);
    fb_fix_screeninfo fix{};
    fix.line_length = 3200;
    Layout layout;
    std::string problem;
    ASSERT_EQ(c.problem == nullptr, layoutOf(fix, c.var, layout, problem));
    if (c.problem != nullptr) {
      EXPECT_EQ(c.problem, problem);
      continue;
    }
    const auto fields = [](const Layout& l) {
      return std::tuple(l.width, l.height, l.lineLength, l.xoffset, l.yoffset,
                        static_cast<int>(l.format));
    };
    EXPECT_EQ(fields({758, 1024, 3200, 5, 1024, c.format}), fields(layout));
  }
}

std::size_t openDescriptors() {
  std::size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) ++count;
  if (dir != nullptr) closedir(dir);
  return count;
}

// What is no framebuffer device is the framebuffer file's reader's; a path
// that cannot be opened is a failure. None leaves a descriptor open.
TEST(FramebufferDevice, TellsFilesFromDevices) {
  char pattern[] = "/tmp/zodm-fbdev-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string dir = pattern;
  const std::string file = dir + "/framebuffer";
  std::ofstream(file) << std::string(769 * 1025, '\xff');
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const struct {
    std::string path;
    DeviceKind kind;
    const char* problem;
  } kCases[] = {
      {file, DeviceKind::kNotADevice, ""},
      {dir + "/missing", DeviceKind::kNotADevice, ""},
      {dir, DeviceKind::kNotADevice, ""},
      {"/dev/null", DeviceKind::kNotADevice, ""},
      {fifo, DeviceKind::kNotADevice, ""},  // opened without a writer
      {file + "/below", DeviceKind::kFailed, "cannot open it: Not a directory"},
  };
  const std::size_t before = openDescriptors();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    const DeviceOpening opening = openFramebufferDevice(c.path);
    EXPECT_EQ(c.kind, opening.kind);
    EXPECT_EQ(c.problem, opening.problem);
    EXPECT_EQ(nullptr, opening.device);
  }
  EXPECT_EQ(before, openDescriptors());
  unlink(file.c_str());
  unlink(fifo.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace zodm::tools
