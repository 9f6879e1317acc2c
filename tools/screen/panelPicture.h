// SPDX-License-Identifier: MIT
// The panel as a picture (--panel): what the e-paper shows, written as an
// 8-bit gray PNG of kWidth x kHeight pixels, one per pixel of the panel.
// Drawn with cairo, so only builds with the picture have it.
#ifndef ZODM_TOOLS_PANELPICTURE_H
#define ZODM_TOOLS_PANELPICTURE_H

#include <string>

#include "panel.h"
#include "picture.h"

namespace zodm::screen {

// The panel's pixels in an A8 image, whose bytes cairo writes to PNG as
// gray levels.
Surface drawPanel(const Panel& panel);

// Writes the panel as PNG to path, atomically as writePicture does.
// Returns an empty string, or why it failed.
std::string writePanel(const Panel& panel, const std::string& path);

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_PANELPICTURE_H
