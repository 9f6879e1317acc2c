// SPDX-License-Identifier: MIT
// The fixed sequence of requests that the emulator's tests share.
#ifndef ZODM_TOOLS_SCREEN_HEATMAPSEQUENCE_H
#define ZODM_TOOLS_SCREEN_HEATMAPSEQUENCE_H

#include "heatMap.h"

namespace zodm::screen {

constexpr DmCommand partial(int32_t xUp, int32_t yUp, int32_t xDown,
                            int32_t yDown, int32_t priority = 0,
                            int32_t quality = 0) {
  return {DM_CMD_DISPLAY_PARTIAL, priority, quality, xUp, yUp, xDown, yDown};
}

// The fixed sequence: a partial update given with its corners reversed, a
// full update, an overlapping partial update, an erase, a dump, two refusals.
inline HeatMap sequence() {
  HeatMap s(1);
  s.apply(partial(200, 300, 10, 20, 2, 1));            // #1: (10,20)-(200,300)
  s.apply({DM_CMD_DISPLAY, 1, 2, 0, 0, 0, 0});         // #2
  s.apply(partial(50, 100, 150, 250, 2, 3));           // #3
  s.apply({DM_CMD_ERASE_TO_WHITE, 3, 0, 0, 0, 0, 0});  // #4
  s.apply({DM_CMD_DUMP, 7, 0, 0, 0, 0, 0});            // #5: refreshes nothing
  s.refuse();
  s.refuse();
  return s;
}

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_HEATMAPSEQUENCE_H
