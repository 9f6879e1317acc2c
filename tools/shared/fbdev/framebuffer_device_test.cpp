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
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
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

// Layouts that promise more than the memory holds read white there, not
// past it; a rectangle outside the area or out of order is refused.
TEST(FramebufferDevice, ReadsNothingOutsideTheMemory) {
  constexpr uint8_t kInk = 7;
  const struct {
    const char* name;
    Layout layout;
    std::size_t rows;  // of memory
    Corners r;
    bool accepted;
    const char* rows_read;  // '#' ink, '.' white, one row after another
  } kCases[] = {
      {"inside",
       {4, 3, 4, 0, 0, PixelFormat::kGray8},
       3,
       {1, 1, 2, 2},
       true,
       "## ##"},
      {"memory ends before the visible rows",
       {4, 3, 4, 0, 1, PixelFormat::kGray8},
       3,
       {0, 0, 3, 2},
       true,
       "#### #### ...."},
      {"offset beyond the memory",
       {4, 3, 4, 0, 9, PixelFormat::kGray8},
       3,
       {0, 0, 1, 0},
       true,
       ".."},
      {"line shorter than the visible width",
       {8, 2, 6, 2, 0, PixelFormat::kRgb565},
       2,
       {0, 0, 3, 0},
       true,
       "#..."},
      {"no line length",
       {4, 3, 0, 0, 0, PixelFormat::kGray8},
       3,
       {0, 0, 1, 0},
       true,
       ".."},
      {"whole area of a small screen",
       {1, 1, 1, 0, 0, PixelFormat::kGray8},
       1,
       {767, 1023, DM_MAX_X, DM_MAX_Y},
       true,
       ".. .."},
      {"corners out of order",
       {4, 3, 4, 0, 0, PixelFormat::kGray8},
       3,
       {2, 0, 1, 0},
       false,
       ""},
      {"beyond the area",
       {4, 3, 4, 0, 0, PixelFormat::kGray8},
       3,
       {0, 0, DM_MAX_X + 1, 0},
       false,
       ""},
      {"negative",
       {4, 3, 4, 0, 0, PixelFormat::kGray8},
       3,
       {0, -1, 0, 0},
       false,
       ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    // Gray ink of 7; RGB565 bytes of 0, black.
    const uint8_t inked = c.layout.format == PixelFormat::kGray8 ? kInk : 0;
    // At least one byte, so that data() points somewhere for every case.
    std::vector<uint8_t> memory(
        std::max<std::size_t>(1, c.layout.lineLength * c.rows), inked);
    std::vector<uint8_t> out(64, 0x5a);
    ASSERT_EQ(c.accepted,
              copyGray(c.layout, memory.data(), c.layout.lineLength * c.rows,
                       c.r, out.data()));
    std::string read;
    for (int y = c.r.y0; c.accepted && y <= c.r.y1; ++y) {
      if (y > c.r.y0) read += ' ';
      for (int x = c.r.x0; x <= c.r.x1; ++x) {
        const uint8_t v = out[static_cast<std::size_t>(
            (y - c.r.y0) * (c.r.x1 - c.r.x0 + 1) + x - c.r.x0)];
        read += v == 255 ? '.' : v == inked ? '#' : '?';
      }
    }
    EXPECT_EQ(c.rows_read, read);
    if (!c.accepted) {
      EXPECT_EQ(std::vector<uint8_t>(64, 0x5a), out);
    }
  }
}

fb_bitfield field(uint32_t offset, uint32_t length) {
  return {offset, length, 0};
}

TEST(FramebufferDevice, AcceptsOnlyTheFormatsItReads) {
  const struct {
    uint32_t bits;
    uint32_t grayscale;
    fb_bitfield red, green, blue;
    bool accepted;
    PixelFormat format;
    const char* problem;
  } kCases[] = {
      {8, 1, field(0, 8), field(0, 8), field(0, 8), true, PixelFormat::kGray8,
       ""},
      {8, 0, field(0, 8), field(0, 8), field(0, 8), true, PixelFormat::kGray8,
       ""},
      {16, 0, field(11, 5), field(5, 6), field(0, 5), true,
       PixelFormat::kRgb565, ""},
      {32, 0, field(16, 8), field(8, 8), field(0, 8), true,
       PixelFormat::kXrgb8888, ""},
      // A FOURCC code in grayscale: not plain gray.
      {8,
       0x59455247,
       field(0, 8),
       field(0, 8),
       field(0, 8),
       false,
       {},
       "8 bits per pixel with grayscale 1497715271: only plain gray is read"},
      {16,
       0,
       field(0, 5),
       field(5, 6),
       field(11, 5),
       false,
       {},
       "16 bits per pixel with red 0/5, green 5/6, blue 11/5 (offset/length): "
       "only RGB565 is read"},
      {16,
       0,
       field(10, 5),
       field(5, 5),
       field(0, 5),
       false,
       {},
       "16 bits per pixel with red 10/5, green 5/5, blue 0/5 (offset/length): "
       "only RGB565 is read"},
      {32,
       0,
       field(0, 8),
       field(8, 8),
       field(16, 8),
       false,
       {},
       "32 bits per pixel with red 0/8, green 8/8, blue 16/8 (offset/length): "
       "only XRGB8888 is read"},
      {24,
       0,
       field(16, 8),
       field(8, 8),
       field(0, 8),
       false,
       {},
       "24 bits per pixel: only 8 (gray), 16 (RGB565) and 32 (XRGB8888) are "
       "read"},
      {4,
       1,
       field(0, 4),
       field(0, 4),
       field(0, 4),
       false,
       {},
       "4 bits per pixel: only 8 (gray), 16 (RGB565) and 32 (XRGB8888) are "
       "read"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.bits);
    fb_fix_screeninfo fix{};
    fix.line_length = 3200;
    fb_var_screeninfo var{};
    var.xres = 758;
    var.yres = 1024;
    var.xres_virtual = 800;
    var.xoffset = 5;
    var.yoffset = 1024;
    var.bits_per_pixel = c.bits;
    var.grayscale = c.grayscale;
    var.red = c.red;
    var.green = c.green;
    var.blue = c.blue;
    Layout layout;
    std::string problem;
    ASSERT_EQ(c.accepted, layoutOf(fix, var, layout, problem));
    EXPECT_EQ(c.problem, problem);
    if (!c.accepted) continue;
    EXPECT_EQ(c.format, layout.format);
    EXPECT_EQ(758u, layout.width);
    EXPECT_EQ(1024u, layout.height);
    EXPECT_EQ(3200u, layout.lineLength);
    EXPECT_EQ(5u, layout.xoffset);
    EXPECT_EQ(1024u, layout.yoffset);
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
