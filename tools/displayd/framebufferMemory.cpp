// SPDX-License-Identifier: MIT
// See framebufferMemory.h.
#include "framebufferMemory.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

namespace zodm::displayd {

std::unique_ptr<FramebufferMemory> FramebufferMemory::map(int fd,
                                                          const Geometry& g,
                                                          std::string& error) {
  if (g.xres == 0 || g.yres == 0) {
    error = "it has no pixels";
    return nullptr;
  }
  std::unique_ptr<FramebufferMemory> memory(new FramebufferMemory);
  const std::size_t bits = g.bitsPerPixel == 0 ? 8 : g.bitsPerPixel;
  // A row's visible bytes, from the byte that holds its first pixel to the
  // one that holds its last.
  const std::size_t firstBit = std::size_t{g.xoffset} * bits;
  const std::size_t endBit = firstBit + std::size_t{g.xres} * bits;
  memory->row_ = (endBit + 7) / 8 - firstBit / 8;
  memory->stride_ = g.lineLength != 0 ? g.lineLength : (endBit + 7) / 8;
  memory->rows_ = g.yres;
  memory->first_ = std::size_t{g.yoffset} * memory->stride_ + firstBit / 8;
  const std::size_t needed =
      memory->first_ + (memory->rows_ - 1) * memory->stride_ + memory->row_;
  memory->length_ = g.memoryLength != 0 ? g.memoryLength : needed;
  if (needed > memory->length_) {
    error = "its visible area (" + std::to_string(g.xres) + "x" +
            std::to_string(g.yres) + " at " + std::to_string(g.xoffset) + "," +
            std::to_string(g.yoffset) + ") lies beyond its " +
            std::to_string(memory->length_) + " bytes of memory";
    return nullptr;
  }
  void* base =
      mmap(nullptr, memory->length_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    error = std::string("mmap: ") + std::strerror(errno);
    return nullptr;
  }
  memory->base_ = static_cast<unsigned char*>(base);
  return memory;
}

FramebufferMemory::~FramebufferMemory() {
  if (base_ != nullptr) munmap(base_, length_);
}

void FramebufferMemory::fillWhite() {
  for (std::size_t y = 0; y < rows_; ++y)
    std::memset(base_ + first_ + y * stride_, 0xFF, row_);
}

}  // namespace zodm::displayd
