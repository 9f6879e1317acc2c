// SPDX-License-Identifier: MIT
// zodm-screen: a display emulator. Receives requests like zodm-listen, and
// prints the same lines, while it models what an e-paper panel makes of
// them (the display profile's waveforms, flashes, residue and waits) and
// keeps what each cell of the display area went through: a heat map, drawn
// as a PNG with --picture (in builds with cairo, ZODM_PICTURE), and with
// --framebuffer the panel the reader sees. With --serve it shows all of
// that live on a web page (in builds with libmicrohttpd, ZODM_LIVE_PAGE);
// with --replay it runs a recording of --json lines through the same
// pipeline instead (in builds with nlohmann-json, ZODM_REPLAY).
#include "clock.h"
#include "emulator.h"
#include "pictures.h"
#include "screenOptions.h"

namespace {

int run(int argc, char* argv[]) {
  zodm::tools::toolStart();  // the lines' and the model's times count from here
  zodm::screen::ScreenOptions options;
  if (const int status = zodm::screen::parseScreenOptions(argc, argv, options);
      status != zodm::tools::kGoOn)
    return status;
  zodm::screen::Emulator emulator(options);
  if (const int status = emulator.prepare(); status != zodm::tools::kGoOn)
    return status;
  return emulator.run();
}

}  // namespace

int main(int argc, char* argv[]) {
  const int status = run(argc, argv);
  zodm::screen::releasePictures();
  return status;
}
