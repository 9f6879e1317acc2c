// SPDX-License-Identifier: MIT
// The display's framebuffer as a file that the application draws into, one
// byte of gray per pixel (0 black, 255 white), kWidth x kHeight pixels row
// after row with no header, mapped shared so that the application may mmap
// it or write it while a tool reads it: what zodm-screen --framebuffer and
// zodm-listen --framebuffer read where there is no framebuffer device. A
// replay keeps one in memory instead, into which it draws a recording's
// pixels.
#ifndef ZODM_TOOLS_FRAMEBUFFERFILE_H
#define ZODM_TOOLS_FRAMEBUFFERFILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "area.h"

namespace zodm::tools {

// The file's size: one byte per pixel of the display area.
constexpr std::size_t kFramebufferBytes = geometry::kPixels;
// Gray levels.
constexpr uint8_t kBlack = 0;
constexpr uint8_t kWhite = 255;

class Framebuffer {
 public:
  // Maps the file at path, creating it white (mode 0666 less the umask)
  // when it does not exist and create says so. Returns nullptr and, in
  // problem, why when it cannot be opened or mapped or is not
  // kFramebufferBytes long.
  static std::unique_ptr<Framebuffer> open(const std::string& path,
                                           std::string& problem,
                                           bool create = true);
  // A framebuffer in memory, which only draw() changes: a copy of from as
  // it is now, under its path, or white under no name (from nullptr). A
  // from cut short gives what could be read of it.
  static std::unique_ptr<Framebuffer> inMemory(const Framebuffer* from);
  ~Framebuffer();
  Framebuffer(const Framebuffer&) = delete;
  Framebuffer& operator=(const Framebuffer&) = delete;

  // The kFramebufferBytes pixels, as the application left them. Read them
  // only while intact() holds, or through copy: the pages of a file cut
  // short fault (SIGBUS).
  const uint8_t* pixels() const { return pixels_; }
  const uint8_t* row(int y) const {
    return pixels_ + static_cast<std::size_t>(y) * geometry::kWidth;
  }
  // Whether the file still has its size (one in memory always has). An
  // application that truncates it (to write it anew) leaves it shorter for
  // a moment.
  bool intact() const;
  // Copies the pixels of r (corners in order, inside the area) to the same
  // places of to, kFramebufferBytes long. False when the file is cut short,
  // before or while copying; the copy may then be partial, but never
  // faults: a fault on the mapping ends the copy instead of the program.
  bool copy(const geometry::Rect& r, uint8_t* to) const;
  // The same, into out packed: r's rows one after the other, r.width() x
  // r.height() bytes.
  bool read(const geometry::Rect& r, uint8_t* out) const;
  // Of one in memory: sets the pixels of r (corners in order, inside the
  // area) from gray, r's rows one after the other.
  void draw(const geometry::Rect& r, const uint8_t* gray);
  bool inMemory() const { return fd_ < 0; }
  const std::string& path() const { return path_; }

 private:
  Framebuffer(std::string path, int fd, const uint8_t* pixels);
  // Copies r's rows from the pixels to out, row y at out + y * stride + x
  // (less the origin's offset), under the guard against faults.
  bool copyRows(const geometry::Rect& r, uint8_t* out, std::size_t stride,
                std::size_t origin) const;
  std::string path_;
  int fd_;
  const uint8_t* pixels_;
  std::vector<uint8_t> memory_;  // one in memory holds its pixels here
};

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_FRAMEBUFFERFILE_H
