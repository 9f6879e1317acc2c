// SPDX-License-Identifier: MIT
// A display profile as the service on a device needs it: read over the
// built-in one as zodm-screen reads it (parseProfile), then checked for
// what only a device uses: the controller's layout it names, and the
// controller's code (mode) of every waveform that a request can select.
// The built-in profile's waveforms have no mode, so a device profile that
// leaves out one it uses is refused here, not at the first request.
#ifndef ZODM_TOOLS_DISPLAYD_DEVICEPROFILE_H
#define ZODM_TOOLS_DISPLAYD_DEVICEPROFILE_H

#include <string>
#include <string_view>

#include "controller.h"
#include "profile.h"
#include "updateQueue.h"

namespace zodm::displayd {

struct DeviceProfile {
  model::Profile profile;
  const Controller* controller = nullptr;  // the row the profile names
};

// Reads the profile text (named name in messages) into out. Returns an
// empty string, or the one line that says what is wrong, leaving out as it
// was: parseProfile's "NAME:LINE: reason"; "NAME:LINE: unknown controller
// 'X' (known: mxcfb-nxp, ...)"; "NAME: names no controller ..."; "NAME:
// waveform 'GC4' (quality 0) has no 'mode' ...".
std::string parseDeviceProfile(std::string_view text, const std::string& name,
                               DeviceProfile& out);

// The same from the file at path: "PATH: reason" when it cannot be read.
std::string readDeviceProfile(const std::string& path, DeviceProfile& out);

// What the update queue takes from a checked profile.
DisplayPlan displayPlan(const DeviceProfile& device);

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_DEVICEPROFILE_H
