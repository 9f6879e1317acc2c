// SPDX-License-Identifier: MIT
// What zodm-displayd reports at exit: the emulator's report of the panel
// (model::Summary, so that a device's run and the desk's model of it read
// alike) from what the queue measured, and the device's own counts.
//
// Of the panel's summary the device knows the updates it submitted, the
// merges, the flashes, how long updates waited before submission, how long
// the controller was busy with them (submission to completion) and each
// request's latency as the controller completed it. It cannot know
// collisions (the controller keeps them to itself) or residue (it cannot
// see the ink): both are 0.
#ifndef ZODM_TOOLS_DISPLAYD_SERVICEREPORT_H
#define ZODM_TOOLS_DISPLAYD_SERVICEREPORT_H

#include <cstdint>
#include <string>

#include "summary.h"
#include "updateQueue.h"

namespace zodm::displayd {

// What the receive loop counted besides the queue.
struct ServiceCounts {
  unsigned long long dumps = 0;     // counted, not carried out
  unsigned long long outside = 0;   // partial updates wholly off the panel
  unsigned long long notTaken = 0;  // refreshes the queue no longer took
                                    // (it had stopped on a fault)
};

// The panel's summary of a run that lasted runMicros.
model::Summary panelSummary(const QueueStats& stats, int64_t runMicros);

// The device's line, without the tool's name: "device: N refreshes
// queued, N updates submitted, N merged, ...".
std::string deviceLine(const QueueStats& stats, const ServiceCounts& counts);

// The same as the members of a JSON object, without braces.
std::string deviceJson(const QueueStats& stats, const ServiceCounts& counts);

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_SERVICEREPORT_H
