// SPDX-License-Identifier: MIT
// A request as the panel's update: the region (corners in either order,
// cut to the panel; the request area stretched over it with "scaled"),
// the waveform and its code, and which updates flash.
#include <gtest/gtest.h>

#include <string>

#include "deviceProfile.h"
#include "requestPlan.h"

namespace zodm::displayd {
namespace {

DmCommand request(int32_t code, int32_t quality = 0, int32_t xUp = 0,
                  int32_t yUp = 0, int32_t xDown = 0, int32_t yDown = 0) {
  DmCommand c{};
  c.code = code;
  c.quality = quality;
  c.xUp = xUp;
  c.yUp = yUp;
  c.xDown = xDown;
  c.yDown = yDown;
  return c;
}

constexpr int32_t kFull = DM_CMD_DISPLAY, kPartial = DM_CMD_DISPLAY_PARTIAL,
                  kErase = DM_CMD_ERASE_TO_WHITE;

TEST(RequestPlan, RegionWaveformAndFlash) {
  const std::string codes =
      "controller = \"mxcfb-nxp\"\n[waveform.A2]\nmode = 4\n"
      "[waveform.DU]\nmode = 1\n[waveform.GL16]\nmode = 5\n"
      "[waveform.GC16]\nmode = 2\n[waveform.INIT]\nmode = 0\n";
  const std::string scaled = "mapping = \"scaled\"\n" + codes;
  const std::string duFull =
      "full = \"DU\"\n" + codes + "[quality]\n0 = \"INIT\"\n";
  const struct {
    const char* name;
    std::string profile;
    uint32_t xres, yres;
    DmCommand command;
    const char* planned;  // "x0,y0-x1,y1 code flashing kind", or "none"
  } kCases[] = {
      {"partial", codes, 1072, 1448, request(kPartial, 1, 0, 0, 100, 200),
       "0,0-100,200 1 0 P"},
      {"corners in the other order", codes, 1072, 1448,
       request(kPartial, 1, 100, 200, 0, 0), "0,0-100,200 1 0 P"},
      {"cut to a small panel", codes, 600, 800,
       request(kPartial, 2, 768, 1024, 500, 700), "500,700-599,799 5 0 P"},
      {"wholly off a small panel", codes, 600, 800,
       request(kPartial, 0, 650, 0, 700, 10), "none"},
      {"scaled: the whole area", scaled, 1072, 1448,
       request(kPartial, 3, 0, 0, 768, 1024), "0,0-1071,1447 2 0 P"},
      // Pixel 384 of 769 lands on panel pixels 535.3 to 536.7, 512 of 1025
      // on 723.3 to 724.7.
      {"scaled: one pixel", scaled, 1072, 1448,
       request(kPartial, 0, 384, 512, 384, 512), "535,723-536,724 4 0 P"},
      {"scaled onto a smaller panel", scaled, 600, 800,
       request(kPartial, 0, 0, 0, 1, 1), "0,0-1,1 4 0 P"},
      {"full update, GC16 flashes", codes, 1072, 1448, request(kFull, 3),
       "0,0-1071,1447 2 1 F"},
      {"full update, DU does not", duFull, 1072, 1448, request(kFull, 3),
       "0,0-1071,1447 1 0 F"},
      {"erase always flashes", duFull, 758, 1024, request(kErase),
       "0,0-757,1023 2 1 E"},
      {"a waveform that always flashes", duFull, 1072, 1448,
       request(kPartial, 0, 10, 10, 20, 20), "10,10-20,20 0 1 P"},
      {"dump", codes, 1072, 1448, request(DM_CMD_DUMP), "none"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    DeviceProfile d;
    ASSERT_EQ(parseDeviceProfile(c.profile, "p.toml", d), "");
    Geometry g;
    g.xres = c.xres;
    g.yres = c.yres;
    const auto u = planRequest(c.command, d.profile, g, 42);
    std::string planned = "none";
    if (u) {
      planned = std::to_string(u->x0) + "," + std::to_string(u->y0) + "-" +
                std::to_string(u->x1) + "," + std::to_string(u->y1) + " " +
                std::to_string(u->code) + " " + (u->flashing ? "1 " : "0 ") +
                "FPE"[static_cast<int>(u->kind)];
      EXPECT_EQ(u->arrival, 42);
      EXPECT_EQ(d.profile.waveform(u->waveform).mode,
                static_cast<int>(u->code));
    }
    EXPECT_EQ(planned, c.planned);
  }
}

}  // namespace
}  // namespace zodm::displayd
