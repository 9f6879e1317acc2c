// SPDX-License-Identifier: MIT
// Reading a captured frame down to its UDP payload, for the tap (tap.h),
// without libpcap: every length is checked against the bytes captured.
#ifndef ZODM_TOOLS_TAPFRAME_H
#define ZODM_TOOLS_TAPFRAME_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zodm::tools {

// How a captured frame begins, for the link types a tap accepts.
enum class LinkType {
  kEthernet,   // Ethernet II header (lo and Ethernet interfaces)
  kLinuxSll,   // Linux cooked header, version 1 ("any")
  kLinuxSll2,  // Linux cooked header, version 2
  kRawIp,      // the IP header first (tunnels)
};

// Why a frame gives no payload, or kPayload when it does.
enum class FrameVerdict {
  kPayload,
  kTruncated,    // captured shorter than it was on the wire
  kNotIpv4,      // another network protocol, or not version 4
  kBadIpHeader,  // header length, total length or checksum wrong
  kFragment,     // part of a fragmented datagram: no whole text to parse
  kNotUdp,
  kBadUdpLength,
  kOtherPort,  // UDP to another destination port
};

struct Frame {
  FrameVerdict verdict;
  std::string_view payload;  // within the frame, when verdict is kPayload
};

// Reads the UDP payload to port out of a frame of which captured bytes are
// at data and wireLength bytes were on the wire. Every length is checked
// against the bytes captured before it is used: nothing past them is read.
Frame udpPayload(LinkType link, const unsigned char* data, std::size_t captured,
                 std::size_t wireLength, uint16_t port);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_TAPFRAME_H
