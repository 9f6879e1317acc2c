// SPDX-License-Identifier: MIT
// A panel as a picture (--panel, --ideal-panel): what the e-paper model or
// the ideal panel shows, written as an 8-bit gray PNG of kWidth x kHeight
// pixels, one per pixel of the panel. Drawn with cairo, so only builds with
// the picture have it.
#ifndef ZODM_TOOLS_SCREEN_PANELPICTURE_H
#define ZODM_TOOLS_SCREEN_PANELPICTURE_H

#include <cstdint>
#include <string>

#include "heatMapPicture.h"
#include "idealPanel.h"

namespace zodm::screen {

// kWidth x kHeight gray pixels, row after row, in an A8 image, whose bytes
// cairo writes to PNG as gray levels.
Surface drawGray(const uint8_t* pixels);

// Writes the pixels as PNG to path, atomically as writePicture does.
// Returns an empty string, or why it failed.
std::string writeGray(const uint8_t* pixels, const std::string& path);

// The same for the ideal panel.
inline std::string writePanel(const IdealPanel& panel,
                              const std::string& path) {
  return writeGray(panel.pixels(), path);
}

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_PANELPICTURE_H
