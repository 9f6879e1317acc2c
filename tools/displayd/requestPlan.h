// SPDX-License-Identifier: MIT
// An accepted request as the update the panel gets: its region in the
// panel's pixels, its waveform and code from the profile, and whether it
// flashes. The queue then clips it again to the controller's alignment
// and merges it with what waits.
//
// The region. A partial update refreshes the rectangle between its
// corners, both included, given in either order. With mapping = "pixels"
// the request's coordinates are the framebuffer's pixels, cut to the
// panel; with "scaled" the request area (769 x 1025) is stretched over the
// whole panel, each request pixel covering the panel pixels it lands on. A
// full update and an erase cover the whole panel.
//
// Flashing. An erase always flashes: the service has whitened the
// framebuffer, and a flashing update drives every pixel of the panel to
// it. A full update flashes when its waveform's flash is "full" or
// "always", a partial update when it is "always" (and when flash_every
// says so, which the queue counts).
#ifndef ZODM_TOOLS_DISPLAYD_REQUESTPLAN_H
#define ZODM_TOOLS_DISPLAYD_REQUESTPLAN_H

#include <cstdint>
#include <optional>

#include "panelDevice.h"
#include "profile.h"
#include "updateQueue.h"
#include "zodm.h"

namespace zodm::displayd {

// The update for an accepted command that arrived at arrival (the queue's
// clock), by profile on a panel of geometry. None for a dump, which
// refreshes nothing, and for a partial update wholly outside the panel
// (possible with "pixels" on a panel smaller than the request area). The
// profile must have been checked (deviceProfile.h): a waveform without a
// mode is sent as code 0.
std::optional<PlannedUpdate> planRequest(const DmCommand& command,
                                         const model::Profile& profile,
                                         const Geometry& geometry,
                                         int64_t arrival);

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_REQUESTPLAN_H
