// SPDX-License-Identifier: MIT
// zodm-displayd: the display service of an e-reader. Binds the service
// socket with the library, runs every datagram through dmMessageParser,
// prints one line per datagram as zodm-listen does, and has the e-paper
// panel refresh what each accepted request asks for, through the refresh
// ioctls of the framebuffer device's controller, as the device's display
// profile says. --detect says which profile fits the device; --calibrate
// measures the profile's waveforms.
#include "calibrate.h"
#include "clock.h"
#include "detect.h"
#include "displaydOptions.h"
#include "service.h"

namespace {

using namespace zodm::displayd;

int runCalibration(const DisplaydOptions& options) {
  DeviceProfile profile;
  if (const std::string problem = readDeviceProfile(options.profile, profile);
      !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kTool, problem.c_str());
    return zodm::tools::kExitUsage;
  }
  std::string error;
  const auto panel =
      PanelDevice::open(options.framebuffer, *profile.controller, error);
  if (!panel) {
    std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
    return zodm::tools::kExitFailure;
  }
  return calibrate(std::move(profile), *panel);
}

int runService(const DisplaydOptions& options) {
  DisplayService service(options);
  if (const int status = service.prepare(); status != zodm::tools::kGoOn)
    return status;
  return service.run();
}

}  // namespace

int main(int argc, char* argv[]) {
  zodm::tools::toolStart();  // the lines' and the latencies' times
  DisplaydOptions options;
  if (const int status = parseDisplaydOptions(argc, argv, options);
      status != zodm::tools::kGoOn)
    return status;
  switch (options.run) {
    case Run::Detect:
      return detect(options);
    case Run::Calibrate:
      return runCalibration(options);
    case Run::Serve:
      break;
  }
  return runService(options);
}
