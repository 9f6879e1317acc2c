// SPDX-License-Identifier: MIT
// Where a recorder reads the pixels of a refreshed rectangle, as 8-bit gray:
// a framebuffer device (framebufferDevice.h), or, at a path that is none,
// the framebuffer file (framebufferFile.h).
#ifndef ZODM_TOOLS_FRAMEREADER_H
#define ZODM_TOOLS_FRAMEREADER_H

#include <cstdint>
#include <memory>
#include <string>

#include "area.h"
#include "framebufferFile.h"

namespace zodm::tools {

class FrameReader {
 public:
  virtual ~FrameReader() = default;
  // Copies the gray of r (corners in order, inside the area) into out, r's
  // rows one after the other. Returns "" or, in a few words, why the pixels
  // could not be read (out may then hold some of them).
  virtual std::string read(const geometry::Rect& r, uint8_t* out) = 0;
  // What it reads, for a line on standard error: "/dev/fb0 (mxc_epdc_fb:
  // 758 x 1024 visible of 768 x 2048 at (0,1024), 8-bit gray, 768 bytes a
  // line)", "/dev/shm/fb (a framebuffer file of 769 x 1025 bytes of gray)".
  virtual std::string describe() const = 0;
};

// Opens path: a framebuffer device when it is one (read in its layout as
// it stands at each read, so that an application may pan), else the
// framebuffer file, which must exist: a recorder only reads what an
// application draws. Returns nullptr with problem, in one line, when it can
// be neither.
std::unique_ptr<FrameReader> openFrameReader(const std::string& path,
                                             std::string& problem);

// A reader of a framebuffer file that the caller holds and keeps alive.
std::unique_ptr<FrameReader> frameReaderOf(const Framebuffer& framebuffer);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_FRAMEREADER_H
