// SPDX-License-Identifier: MIT
// zodm-displayd --detect: what the device says of itself, and the profile
// that fits it. The framebuffer's id (FBIOGET_FSCREENINFO) names its
// driver only: "mxc_epdc_fb" is NXP's i.MX e-paper driver on Kobos,
// Kindles, the reMarkable 1 and PocketBooks alike, whose kernels take
// different layouts, and two of those (mxcfb-nxp and mxcfb-kindle, both 72
// bytes, the same ioctl number) cannot be told apart by any probe: a
// kernel takes either without complaint. So the model files of each
// family decide (Kobo's version file, the Kindle's serial number, the
// reMarkable's machine name), and where none does, several profiles are
// named and none suggested.
#ifndef ZODM_TOOLS_DISPLAYD_DETECT_H
#define ZODM_TOOLS_DISPLAYD_DETECT_H

#include <optional>
#include <string>
#include <vector>

#include "displaydOptions.h"

namespace zodm::displayd {

// What --detect found, read by detectDevice and printed by describe.
struct Findings {
  // The framebuffer: "id \"mxc_epdc_fb\", 1072 x 1448 pixels, 8 bits per
  // pixel", or why it could not be read.
  std::string framebuffer;
  std::string id;  // FBIOGET_FSCREENINFO's, empty when unread
  // Each model file that exists: its path and what it says, shown.
  std::vector<std::pair<std::string, std::string>> files;
  // Which device that makes it, as far as can be told.
  std::string device;
  // The profile suggested (its name in share/zodm/profiles/, without
  // .toml), if one fits for certain; else the ones that may, and why.
  std::optional<std::string> profile;
  std::string note;
};

// Reads the framebuffer device at framebuffer and the model files under
// root ("" for "/").
Findings detectDevice(const std::string& framebuffer, const std::string& root);

// The lines --detect prints.
std::string describe(const Findings& findings, const std::string& framebuffer,
                     const std::string& profiles);

// --detect: prints what it found. Returns 0 when a profile is suggested,
// kExitFailure when none is certain or output fails.
int detect(const DisplaydOptions& options);

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_DETECT_H
