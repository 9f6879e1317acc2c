// SPDX-License-Identifier: MIT
// The display's framebuffer as zodm-screen reads it: a file that the
// application draws into, one byte of gray per pixel (0 black, 255 white),
// kWidth x kHeight pixels row after row with no header, mapped shared so
// that the application may mmap it or write it while the emulator runs.
#ifndef ZODM_TOOLS_SCREEN_FRAMEBUFFER_H
#define ZODM_TOOLS_SCREEN_FRAMEBUFFER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "area.h"

namespace zodm::screen {

using geometry::kHeight;
using geometry::kWidth;
using geometry::Rect;

// The file's size: one byte per pixel of the display area.
constexpr std::size_t kFramebufferBytes = geometry::kPixels;
// Gray levels.
constexpr uint8_t kBlack = 0;
constexpr uint8_t kWhite = 255;

class Framebuffer {
 public:
  // Maps the file at path, creating it white (mode 0666 less the umask)
  // when it does not exist. Returns nullptr and, in problem, why when it
  // cannot be opened or mapped or is not kFramebufferBytes long.
  static std::unique_ptr<Framebuffer> open(const std::string& path,
                                           std::string& problem);
  ~Framebuffer();
  Framebuffer(const Framebuffer&) = delete;
  Framebuffer& operator=(const Framebuffer&) = delete;

  // The kFramebufferBytes pixels, as the application left them. Read them
  // only while intact() holds, or through copy: the pages of a file cut
  // short fault (SIGBUS).
  const uint8_t* pixels() const { return pixels_; }
  const uint8_t* row(int y) const {
    return pixels_ + static_cast<std::size_t>(y) * kWidth;
  }
  // Whether the file still has its size. An application that truncates
  // it (to write it anew) leaves it shorter for a moment.
  bool intact() const;
  // Copies the pixels of r (corners in order, inside the area) to the same
  // places of to, kFramebufferBytes long. False when the file is cut short,
  // before or while copying; the copy may then be partial, but never
  // faults: a fault on the mapping ends the copy instead of the program.
  bool copy(const Rect& r, uint8_t* to) const;
  const std::string& path() const { return path_; }

 private:
  Framebuffer(std::string path, int fd, const uint8_t* pixels);
  std::string path_;
  int fd_;
  const uint8_t* pixels_;
};

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_FRAMEBUFFER_H
