// SPDX-License-Identifier: MIT
// The framebuffer file as the e-paper model reads it when an update
// starts: the adapter between the panel folder's Framebuffer and the
// model's Source, which neither needs to know of the other.
#ifndef ZODM_TOOLS_SCREEN_FRAMEBUFFERSOURCE_H
#define ZODM_TOOLS_SCREEN_FRAMEBUFFERSOURCE_H

#include <cstdint>

#include "framebuffer.h"
#include "model.h"

namespace zodm::screen {

class FramebufferSource final : public model::Source {
 public:
  // framebuffer must outlive the source.
  explicit FramebufferSource(const Framebuffer& framebuffer)
      : framebuffer_(framebuffer) {}
  void copy(const Rect& r, uint8_t* plane) override {
    // A file cut short shows what could be read of it.
    framebuffer_.copy(r, plane);
  }

 private:
  const Framebuffer& framebuffer_;
};

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_FRAMEBUFFERSOURCE_H
