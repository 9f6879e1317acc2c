// SPDX-License-Identifier: MIT
// The framebuffer's memory, mapped shared, for the one thing the service
// writes into it: white, for an erase. The panel shows what the
// framebuffer holds once an update drives it there, so an erase whitens
// the visible area first and then refreshes the panel with a flashing full
// update. All-ones bytes are white in every format an e-reader's
// framebuffer has (8-bit gray, RGB565, RGB888, XRGB8888; 4-bit gray too).
#ifndef ZODM_TOOLS_DISPLAYD_FRAMEBUFFERMEMORY_H
#define ZODM_TOOLS_DISPLAYD_FRAMEBUFFERMEMORY_H

#include <cstddef>
#include <memory>
#include <string>

#include "panelDevice.h"

namespace zodm::displayd {

class FramebufferMemory {
 public:
  // Maps the memory of the framebuffer device open at fd, of geometry.
  // Returns nullptr with error set to the reason ("mmap: Invalid
  // argument", or that the visible area lies beyond the memory).
  static std::unique_ptr<FramebufferMemory> map(int fd,
                                                const Geometry& geometry,
                                                std::string& error);
  ~FramebufferMemory();
  FramebufferMemory(const FramebufferMemory&) = delete;
  FramebufferMemory& operator=(const FramebufferMemory&) = delete;

  // Writes all-ones bytes over every row of the visible area.
  void fillWhite();

 private:
  FramebufferMemory() = default;

  unsigned char* base_ = nullptr;
  std::size_t length_ = 0;  // of the mapping
  std::size_t first_ = 0;   // the visible area's first byte
  std::size_t stride_ = 0;  // from one row to the next
  std::size_t row_ = 0;     // bytes of a row that are visible
  std::size_t rows_ = 0;
};

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_FRAMEBUFFERMEMORY_H
