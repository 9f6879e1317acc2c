// SPDX-License-Identifier: MIT
// See framebufferDevice.h.
#include "framebufferDevice.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "zodm.h"

namespace zodm::tools {

namespace {

constexpr uint8_t kWhite = 255;

// Gray from red, green and blue, each 0..255: the luma weights of ITU-R
// BT.601 (0.299, 0.587, 0.114), the ones image libraries use to make gray of
// RGB, in 256ths. They add up to 256, so white stays 255 and black 0, and a
// pixel costs three multiplications and no division or float.
inline uint8_t luma(uint32_t red, uint32_t green, uint32_t blue) {
  return static_cast<uint8_t>((77 * red + 150 * green + 29 * blue + 128) >> 8);
}

// One reader per format, each converting count pixels from from into count
// bytes of gray. copyRows picks one for the whole rectangle, so the loop over
// a row's pixels never asks which format it reads.
struct Gray8 {
  static constexpr std::size_t kBytes = 1;
  static void row(const uint8_t* from, uint8_t* to, std::size_t count) {
    std::memcpy(to, from, count);
  }
};

struct Rgb565 {
  static constexpr std::size_t kBytes = 2;
  static void row(const uint8_t* from, uint8_t* to, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      uint16_t pixel;
      std::memcpy(&pixel, from + 2 * i, sizeof pixel);  // any alignment
      const uint32_t r = pixel >> 11u;
      const uint32_t g = (pixel >> 5u) & 63u;
      const uint32_t b = pixel & 31u;
      // Repeating a channel's top bits below it maps 0 to 0 and the
      // channel's maximum to 255 exactly, and the steps in between evenly.
      to[i] = luma((r << 3u) | (r >> 2u), (g << 2u) | (g >> 4u),
                   (b << 3u) | (b >> 2u));
    }
  }
};

struct Xrgb8888 {
  static constexpr std::size_t kBytes = 4;
  static void row(const uint8_t* from, uint8_t* to, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      uint32_t pixel;
      std::memcpy(&pixel, from + 4 * i, sizeof pixel);
      to[i] = luma((pixel >> 16u) & 255u, (pixel >> 8u) & 255u, pixel & 255u);
    }
  }
};

// copyGray for one format, r already checked.
template <typename Format>
void copyRows(const Layout& layout, const uint8_t* mapped,
              std::size_t mappedBytes, const Corners& r, uint8_t* out) {
  const std::size_t line = layout.lineLength;
  // The device's pixels that can be read in every row: visible, and with
  // their bytes inside a line and inside the mapping.
  const std::size_t pixelsInLine = line / Format::kBytes;
  const std::size_t columns =
      pixelsInLine > layout.xoffset
          ? std::min<std::size_t>(layout.width, pixelsInLine - layout.xoffset)
          : 0;
  const std::size_t linesMapped = line == 0 ? 0 : mappedBytes / line;
  const std::size_t rows =
      linesMapped > layout.yoffset
          ? std::min<std::size_t>(layout.height, linesMapped - layout.yoffset)
          : 0;
  const auto x0 = static_cast<std::size_t>(r.x0);
  const auto x1 = static_cast<std::size_t>(r.x1);
  const std::size_t width = x1 - x0 + 1;
  const std::size_t inside = x0 < columns ? std::min(columns, x1 + 1) - x0 : 0;
  alignas(16) uint8_t bounce[(DM_MAX_X + 1) * Format::kBytes];
  for (int y = r.y0; y <= r.y1; ++y) {
    uint8_t* to = out + static_cast<std::size_t>(y - r.y0) * width;
    std::size_t copied = 0;
    if (static_cast<std::size_t>(y) < rows) {
      const uint8_t* from =
          mapped + (static_cast<std::size_t>(y) + layout.yoffset) * line +
          (x0 + layout.xoffset) * Format::kBytes;
      if constexpr (Format::kBytes > 1) {
        // Drivers map their memory uncached or write-combined, where each
        // narrow load is a bus transaction of its own: the row comes over
        // in memcpy's wide loads, then is converted where it is cached.
        std::memcpy(bounce, from, inside * Format::kBytes);
        from = bounce;
      }
      Format::row(from, to, inside);
      copied = inside;
    }
    std::memset(to + copied, kWhite, width - copied);
  }
}

// "red 11/5, green 5/6, blue 0/5": offset/length of each channel.
std::string bitfields(const fb_var_screeninfo& var) {
  char text[96];
  std::snprintf(text, sizeof text, "red %u/%u, green %u/%u, blue %u/%u",
                var.red.offset, var.red.length, var.green.offset,
                var.green.length, var.blue.offset, var.blue.length);
  return text;
}

bool isField(const fb_bitfield& field, uint32_t offset, uint32_t length) {
  return field.offset == offset && field.length == length &&
         field.msb_right == 0;
}

// The format of var's pixels, or false with problem.
bool formatOf(const fb_var_screeninfo& var, PixelFormat& format,
              std::string& problem) {
  char text[160];
  switch (var.bits_per_pixel) {
    case 8:
      // 0 and 1 say colour (a palette) and gray; a larger value names a
      // FOURCC format, whose bytes are no plain gray.
      if (var.grayscale <= 1) {
        format = PixelFormat::kGray8;
        return true;
      }
      std::snprintf(text, sizeof text,
                    "8 bits per pixel with grayscale %u: only plain gray is "
                    "read",
                    var.grayscale);
      break;
    case 16:
      if (isField(var.red, 11, 5) && isField(var.green, 5, 6) &&
          isField(var.blue, 0, 5)) {
        format = PixelFormat::kRgb565;
        return true;
      }
      std::snprintf(text, sizeof text,
                    "16 bits per pixel with %s (offset/length): only RGB565 "
                    "is read",
                    bitfields(var).c_str());
      break;
    case 32:
      if (isField(var.red, 16, 8) && isField(var.green, 8, 8) &&
          isField(var.blue, 0, 8)) {
        format = PixelFormat::kXrgb8888;
        return true;
      }
      std::snprintf(text, sizeof text,
                    "32 bits per pixel with %s (offset/length): only XRGB8888 "
                    "is read",
                    bitfields(var).c_str());
      break;
    default:
      std::snprintf(text, sizeof text,
                    "%u bits per pixel: only 8 (gray), 16 (RGB565) and 32 "
                    "(XRGB8888) are read",
                    var.bits_per_pixel);
  }
  problem = text;
  return false;
}

// Asks fd for both screen informations; the errno of what failed, or 0.
int askScreen(int fd, fb_fix_screeninfo& fix, fb_var_screeninfo& var) {
  if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0) return errno;
  if (ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0) return errno;
  return 0;
}

// The bytes to map: the virtual buffer's lines, but never more than the
// device's memory, which the kernel refuses to map beyond.
std::size_t bytesToMap(const Layout& layout, const fb_fix_screeninfo& fix,
                       const fb_var_screeninfo& var) {
  const uint64_t lines =
      static_cast<uint64_t>(layout.lineLength) * var.yres_virtual;
  uint64_t bytes = lines;
  if (fix.smem_len != 0 && (lines == 0 || lines > fix.smem_len))
    bytes = fix.smem_len;
  return bytes > SIZE_MAX ? 0 : static_cast<std::size_t>(bytes);
}

// Maps bytes of fd shared and read-only; nullptr with problem when it
// cannot.
const uint8_t* mapScreen(int fd, std::size_t bytes, std::string& problem) {
  if (bytes == 0) {
    problem = "it reports no memory to map";
    return nullptr;
  }
  void* mapped = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
  if (mapped != MAP_FAILED) return static_cast<const uint8_t*>(mapped);
  problem = "cannot map " + std::to_string(bytes) +
            " bytes of it: " + std::strerror(errno);
  return nullptr;
}

std::string printable(const char* text, std::size_t size) {
  std::string out(text, strnlen(text, size));
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '?';
  return out;
}

DeviceOpening failed(std::string problem) {
  DeviceOpening opening;
  opening.kind = DeviceKind::kFailed;
  opening.problem = std::move(problem);
  return opening;
}

}  // namespace

bool copyGray(const Layout& layout, const uint8_t* mapped,
              std::size_t mappedBytes, const Corners& r, uint8_t* out) {
  if (r.x0 < 0 || r.x0 > r.x1 || r.x1 > DM_MAX_X || r.y0 < 0 || r.y0 > r.y1 ||
      r.y1 > DM_MAX_Y)
    return false;
  switch (layout.format) {
    case PixelFormat::kGray8:
      copyRows<Gray8>(layout, mapped, mappedBytes, r, out);
      break;
    case PixelFormat::kRgb565:
      copyRows<Rgb565>(layout, mapped, mappedBytes, r, out);
      break;
    case PixelFormat::kXrgb8888:
      copyRows<Xrgb8888>(layout, mapped, mappedBytes, r, out);
      break;
  }
  return true;
}

bool layoutOf(const fb_fix_screeninfo& fix, const fb_var_screeninfo& var,
              Layout& layout, std::string& problem) {
  PixelFormat format{};
  if (!formatOf(var, format, problem)) return false;
  layout.width = var.xres;
  layout.height = var.yres;
  // Drivers that leave the line length out pack the virtual rows.
  layout.lineLength = fix.line_length != 0
                          ? fix.line_length
                          : var.xres_virtual * (var.bits_per_pixel / 8);
  layout.xoffset = var.xoffset;
  layout.yoffset = var.yoffset;
  layout.format = format;
  return true;
}

DeviceOpening openFramebufferDevice(const std::string& path) {
  // Without O_NONBLOCK a FIFO would hold the open until a writer came; a
  // framebuffer device is read through its mapping, which it does not
  // change.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return DeviceOpening{DeviceKind::kNotADevice, {}, {}};
    return failed(std::string("cannot open it: ") + std::strerror(errno));
  }
  fb_fix_screeninfo fix{};
  fb_var_screeninfo var{};
  const int error = askScreen(fd, fix, var);
  if (error == ENOTTY || error == EINVAL) {
    ::close(fd);
    return DeviceOpening{DeviceKind::kNotADevice, {}, {}};
  }
  std::string problem;
  Layout layout;
  const std::size_t bytes = error == 0 && layoutOf(fix, var, layout, problem)
                                ? bytesToMap(layout, fix, var)
                                : 0;
  const uint8_t* mapped = nullptr;
  if (error != 0)
    problem =
        std::string("cannot ask it for its screen: ") + std::strerror(error);
  else if (problem.empty())
    mapped = mapScreen(fd, bytes, problem);
  if (mapped == nullptr) {
    ::close(fd);
    return failed(std::move(problem));
  }
  std::unique_ptr<FramebufferDevice> device(new FramebufferDevice(
      fd, mapped, bytes, layout, printable(fix.id, sizeof fix.id)));
  device->xresVirtual_ = var.xres_virtual;
  device->yresVirtual_ = var.yres_virtual;
  return DeviceOpening{DeviceKind::kDevice, std::move(device), {}};
}

FramebufferDevice::FramebufferDevice(int fd, const uint8_t* mapped,
                                     std::size_t mappedBytes,
                                     const Layout& layout, std::string id)
    : fd_(fd),
      mapped_(mapped),
      mappedBytes_(mappedBytes),
      layout_(layout),
      id_(std::move(id)) {}

FramebufferDevice::~FramebufferDevice() {
  munmap(const_cast<uint8_t*>(mapped_), mappedBytes_);
  ::close(fd_);
}

std::string FramebufferDevice::describe() const {
  static constexpr const char* kFormats[] = {"8-bit gray", "RGB565",
                                             "XRGB8888"};
  char text[192];
  std::snprintf(
      text, sizeof text,
      "%s: %u x %u visible of %u x %u at (%u,%u), %s, %u bytes a "
      "line",
      id_.empty() ? "framebuffer" : id_.c_str(), layout_.width, layout_.height,
      xresVirtual_, yresVirtual_, layout_.xoffset, layout_.yoffset,
      kFormats[static_cast<std::size_t>(layout_.format)], layout_.lineLength);
  return text;
}

bool FramebufferDevice::read(const Corners& r, uint8_t* out) const {
  return copyGray(layout_, mapped_, mappedBytes_, r, out);
}

bool FramebufferDevice::reload(std::string& problem) {
  fb_fix_screeninfo fix{};
  fb_var_screeninfo var{};
  const int error = askScreen(fd_, fix, var);
  if (error != 0) {
    problem =
        std::string("cannot ask it for its screen: ") + std::strerror(error);
    return false;
  }
  Layout layout;
  if (!layoutOf(fix, var, layout, problem)) return false;
  // The mapping keeps its size: copyGray reads nothing beyond it, whatever
  // the new layout says.
  layout_ = layout;
  xresVirtual_ = var.xres_virtual;
  yresVirtual_ = var.yres_virtual;
  return true;
}

}  // namespace zodm::tools
