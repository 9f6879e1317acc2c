// SPDX-License-Identifier: MIT
// Watching the datagrams addressed to a display service instead of
// receiving them: a packet capture through libpcap that binds nothing, as a
// source of datagrams; and the source a service's options choose, its
// bound socket or the tap.
#ifndef ZODM_TOOLS_TAP_H
#define ZODM_TOOLS_TAP_H

#include <cstdint>
#include <memory>
#include <string>

#include "datagramSource.h"
#include "serviceOptions.h"

namespace zodm::tools {

// Opens a capture of the IPv4 UDP datagrams to port on interface ("any":
// every interface), with a capture buffer of bufferBytes (0: the tap's
// default, 8 MiB), and says on standard error that it is watching. Each
// datagram is stamped with the capture's own time, counted from the tool's
// start. Returns nullptr when it cannot, having said why in one line on
// standard error: the missing capability and how to grant it, an unknown
// interface, or libpcap's own reason. Defined only in builds with libpcap.
std::unique_ptr<DatagramSource> openTap(const char* tool,
                                        const std::string& interface,
                                        uint16_t port, int bufferBytes);

// The source that options ask for: the tap of options.tap, or else the
// service socket bound as bindPort does. Returns nullptr when it cannot be
// had, having said why in one line.
std::unique_ptr<DatagramSource> openServiceSource(
    const ServiceOptions& options);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_TAP_H
