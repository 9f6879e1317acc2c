// SPDX-License-Identifier: MIT
// The application's framebuffer read as 8-bit gray (0 black, 255 white), for
// a recorder that stores the pixels of each refreshed rectangle: a Linux
// framebuffer device (/dev/fb0) of 8-bit gray, RGB565 or XRGB8888 pixels,
// mapped shared and only read. A path that is not such a device (a regular
// file, one in /dev/shm) is the framebuffer file that zodm-screen reads
// (tools/screen/framebuffer.h), which its own reader opens.
//
// Pixels are read while the application may draw: a read shows what was
// there, a rectangle possibly half old and half new, as the panel would.
#ifndef ZODM_TOOLS_FRAMEBUFFERDEVICE_H
#define ZODM_TOOLS_FRAMEBUFFERDEVICE_H

#include <linux/fb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zodm::tools {

// How the device keeps a pixel.
enum class PixelFormat : uint8_t {
  kGray8,     // one byte of gray
  kRgb565,    // 16 bits: red 15..11, green 10..5, blue 4..0
  kXrgb8888,  // 32 bits: red 23..16, green 15..8, blue 7..0, the top ignored
};

// Where the visible pixels lie in the mapped memory: rows of lineLength
// bytes, the visible width x height pixels starting at pixel
// (xoffset, yoffset) of the virtual buffer. Pixels are in the machine's byte
// order, as the kernel's bitfields describe them.
struct Layout {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t lineLength = 0;
  uint32_t xoffset = 0;
  uint32_t yoffset = 0;
  PixelFormat format = PixelFormat::kGray8;
};

// A rectangle in request coordinates: corners included, x0 <= x1 within
// 0..DM_MAX_X, y0 <= y1 within 0..DM_MAX_Y.
struct Corners {
  int x0, y0, x1, y1;
};

// Copies the gray of the pixels of r into out, row after row from the top
// left ((x1 - x0 + 1) * (y1 - y0 + 1) bytes), from mapped, the mappedBytes
// bytes laid out as layout says. Request pixel (x, y) is pixel
// (x + xoffset, y + yoffset) of the virtual buffer. Pixels beyond the visible
// width or height, or whose bytes lie beyond a line or beyond mappedBytes,
// are white (255): nothing outside mapped is read. Red, green and blue
// become gray by luma (see the definition). Returns false, writing nothing,
// when r's corners are out of order or outside the display area.
bool copyGray(const Layout& layout, const uint8_t* mapped,
              std::size_t mappedBytes, const Corners& r, uint8_t* out);

// The layout that the device's screen information describes. Returns false,
// with problem saying in a few words what it found, for a depth or pixel
// format other than 8-bit gray, RGB565 and XRGB8888: "24 bits per pixel:
// only 8 (gray), 16 (RGB565) and 32 (XRGB8888) are read", "16 bits per pixel
// with red 0/5, green 5/6, blue 11/5 (offset/length): only RGB565 is read",
// "8 bits per pixel with grayscale 2: only plain gray is read".
bool layoutOf(const fb_fix_screeninfo& fix, const fb_var_screeninfo& var,
              Layout& layout, std::string& problem);

class FramebufferDevice;

// What openFramebufferDevice found at a path.
enum class DeviceKind {
  kDevice,      // a framebuffer device it can read: device is set
  kNotADevice,  // no framebuffer device (or no file yet): read it as the file
  kFailed,      // a device it cannot read, or a path it cannot open: problem
};

struct DeviceOpening {
  DeviceKind kind = DeviceKind::kFailed;
  std::unique_ptr<FramebufferDevice> device;  // with kDevice
  std::string problem;                        // with kFailed, one line
};

// Opens path read-only (close-on-exec, without waiting) and asks for its fixed
// and variable screen information. When both answers come, it is a framebuffer
// device: its format is checked (layoutOf) and line length x virtual height
// bytes are mapped shared and read-only (no more than the device's memory), and
// kDevice is returned. When the path does not exist, or the questions fail
// with ENOTTY or EINVAL (a regular file, a directory, a FIFO, a character
// device of another kind), it returns kNotADevice, holding no descriptor.
// Otherwise kFailed and, in problem, why: "cannot open it: REASON", "cannot ask
// it for its screen: REASON", layoutOf's problem, "it reports no memory to
// map", "cannot map N bytes of it: REASON". Nothing is left open but a device's
// descriptor and mapping, which the device releases.
DeviceOpening openFramebufferDevice(const std::string& path);

// A mapped framebuffer device.
class FramebufferDevice {
 public:
  ~FramebufferDevice();
  FramebufferDevice(const FramebufferDevice&) = delete;
  FramebufferDevice& operator=(const FramebufferDevice&) = delete;

  const Layout& layout() const { return layout_; }
  // The driver's name for the device (its fixed information's id), with any
  // byte outside 0x20..0x7e as '?'.
  const std::string& id() const { return id_; }
  // One line for the tools to print: "mxc_epdc_fb: 758 x 1024 visible of
  // 768 x 2048 at (0,1024), 8-bit gray, 768 bytes a line".
  std::string describe() const;

  // copyGray of r from the mapping, with the layout last read.
  bool read(const Corners& r, uint8_t* out) const;
  // Asks the device for its screen again: an application that pans (page
  // flipping between two halves of the virtual buffer) moves the offsets.
  // Returns false, keeping the layout it had, with problem (one line) when
  // the question fails or the format is one that layoutOf refuses.
  bool reload(std::string& problem);

 private:
  friend DeviceOpening openFramebufferDevice(const std::string& path);
  FramebufferDevice(int fd, const uint8_t* mapped, std::size_t mappedBytes,
                    const Layout& layout, std::string id);
  int fd_;
  const uint8_t* mapped_;
  std::size_t mappedBytes_;
  Layout layout_;
  std::string id_;
  // The virtual resolution, for describe().
  uint32_t xresVirtual_ = 0;
  uint32_t yresVirtual_ = 0;
};

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_FRAMEBUFFERDEVICE_H
