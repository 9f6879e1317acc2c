// SPDX-License-Identifier: MIT
// zodm-displayd's command line: the services' options (--all, --json,
// --count, --buffer, --help, --version; not --tap, which would watch
// another service's datagrams instead of refreshing the panel), the
// framebuffer device, the display profile, and the two runs that do not
// serve: --detect and --calibrate.
#ifndef ZODM_TOOLS_DISPLAYD_DISPLAYDOPTIONS_H
#define ZODM_TOOLS_DISPLAYD_DISPLAYDOPTIONS_H

#include <string>

#include "serviceOptions.h"

namespace zodm::displayd {

constexpr char kTool[] = "zodm-displayd";

enum class Run : uint8_t {
  Serve,      // receive requests and refresh the panel
  Detect,     // say what the device is and which profile fits it
  Calibrate,  // measure the profile's waveforms, print the profile
};

struct DisplaydOptions {
  tools::ServiceOptions service;
  Run run = Run::Serve;
  std::string framebuffer = "/dev/fb0";
  std::string profile;  // required to serve and to calibrate
  // --detect reads the model files under this directory (a device's image
  // on a desktop, or a test's); empty: "/".
  std::string root;
};

// Reads the command line into options. Returns kGoOn, or the status to
// exit with: 0 after --help or --version, kExitUsage after one line and the
// usage (an unknown option, a missing value, a missing --profile, options
// that do not go together).
int parseDisplaydOptions(int argc, char* argv[], DisplaydOptions& options);

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_DISPLAYDOPTIONS_H
