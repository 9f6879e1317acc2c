// SPDX-License-Identifier: MIT
// The framebuffer file (tools/shared/fbdev/framebufferFile.h), which
// zodm-listen reads too, under the names zodm-screen's code uses.
#ifndef ZODM_TOOLS_SCREEN_FRAMEBUFFER_H
#define ZODM_TOOLS_SCREEN_FRAMEBUFFER_H

#include "area.h"
#include "framebufferFile.h"

namespace zodm::screen {

using geometry::kHeight;
using geometry::kWidth;
using geometry::Rect;
using tools::Framebuffer;
using tools::kBlack;
using tools::kFramebufferBytes;
using tools::kWhite;

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_FRAMEBUFFER_H
