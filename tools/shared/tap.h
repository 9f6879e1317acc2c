// SPDX-License-Identifier: MIT
// Watching the datagrams addressed to a display service instead of
// receiving them: the services' datagram sources (their bound socket, or a
// packet capture through libpcap that binds nothing) and the reading of a
// captured frame down to its UDP payload. Only tap.cpp needs libpcap.
#ifndef ZODM_TOOLS_TAP_H
#define ZODM_TOOLS_TAP_H

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zodm::tools {

// Where a service's datagrams come from.
class DatagramSource {
 public:
  // What next() found.
  static constexpr long kNone = -1;    // nothing is waiting now
  static constexpr long kFailed = -2;  // reading failed; it said why

  virtual ~DatagramSource() = default;
  // The descriptor to wait on for POLLIN.
  virtual int fd() const = 0;
  // How long a wait may last before next() must be tried anyway; nullptr
  // for no limit.
  virtual const timespec* waitLimit() const { return nullptr; }
  // Copies the next waiting datagram's payload into buffer, followed by a
  // NUL (buffer holds at least 65,536 bytes), and returns its length; or
  // kNone, or kFailed.
  virtual long next(std::vector<char>& buffer) = 0;
  // The datagrams lost before they could be read, as the kernel counts
  // them: as last learnt (at no cost), or, with fresh, asked anew.
  virtual unsigned long long dropped(bool fresh) = 0;
  // The wall-clock time at which the datagram that next() returned last was
  // captured, for a source that knows it; false for one that does not.
  virtual bool capturedAt(timespec& /*realtime*/) const { return false; }
  // Writes what the source has to add at the end (one line), if anything.
  virtual void report() const {}
};

// The interface --tap watches when none is named: the loopback interface,
// which carries the datagrams applications send to 127.0.0.1.
constexpr char kDefaultTapInterface[] = "lo";

// Opens a capture of the IPv4 UDP datagrams to port on interface ("any":
// every interface), with a capture buffer of bufferBytes (0: the tap's
// default, 8 MiB), and says on standard error that it is watching. Returns
// nullptr when it cannot, having said why in one line on standard error:
// the missing capability and how to grant it, an unknown interface, or
// libpcap's own reason. Defined only in builds with libpcap.
std::unique_ptr<DatagramSource> openTap(const char* tool,
                                        const std::string& interface,
                                        uint16_t port, int bufferBytes);

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

#endif  // ZODM_TOOLS_TAP_H
