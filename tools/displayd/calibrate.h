// SPDX-License-Identifier: MIT
// zodm-displayd --calibrate: each waveform of the profile that has a mode
// drives the whole panel three times, in partial mode (a pass that does not
// flash), one pass after the other; each pass is timed from its submission
// to the end of the wait for its marker. The median becomes the
// waveform's duration_ms, rounded up to a tenth of a millisecond, and the
// profile is printed (printProfile) for zodm-screen --profile. A waveform
// that always flashes (INIT) flashes in that pass too, so its flash is
// part of the time measured and its flash_ms becomes 0. The waits are
// needed whatever the profile's "wait" says.
#ifndef ZODM_TOOLS_DISPLAYD_CALIBRATE_H
#define ZODM_TOOLS_DISPLAYD_CALIBRATE_H

#include "deviceProfile.h"
#include "panelDevice.h"

namespace zodm::displayd {

// Passes per waveform.
constexpr int kCalibrationPasses = 3;

// Calibrates device's waveforms on panel, saying each waveform's times on
// standard error and printing the profile on standard output. Returns 0;
// kExitFailure when the first update is refused as invalid (the layout does
// not fit), or when a waveform could not be measured (its duration_ms is
// then printed as the profile had it) or output failed.
int calibrate(DeviceProfile device, Panel& panel);

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_CALIBRATE_H
