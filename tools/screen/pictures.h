// SPDX-License-Identifier: MIT
// The pictures zodm-screen writes, each saying in one line why when it
// cannot: the heat map (--picture), the ideal panel (--ideal-panel) and
// the e-paper model's panel (--panel). They are drawn with cairo; a build
// without it says so instead.
#ifndef ZODM_TOOLS_SCREEN_PICTURES_H
#define ZODM_TOOLS_SCREEN_PICTURES_H

#include <cstdint>
#include <string>

#include "heatMap.h"
#include "idealPanel.h"

namespace zodm::screen {

bool saveHeatMap(const HeatMap& heatMap, const std::string& path);
bool saveIdealPanel(const IdealPanel& panel, const std::string& path);
// kWidth x kHeight gray pixels, row after row.
bool saveModelPanel(const uint8_t* pixels, const std::string& path);

// Frees what cairo keeps for the process's lifetime; call it last.
void releasePictures();

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_PICTURES_H
