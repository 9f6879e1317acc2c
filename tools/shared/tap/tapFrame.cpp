// SPDX-License-Identifier: MIT
// See tapFrame.h: a captured frame read down to its UDP payload. The capture's
// filter already asks for IPv4 UDP to the port, but every header is checked
// here again: a frame is whatever the wire carried, and a text is parsed
// only when it is a whole datagram the service would have received.
#include "tapFrame.h"

#include <cstddef>
#include <cstdint>

namespace zodm::tools {

namespace {

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint8_t kProtocolUdp = 17;
constexpr std::size_t kIpv4MinHeader = 20;
constexpr std::size_t kUdpHeader = 8;

uint16_t read16(const unsigned char* at) {
  return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

// The IPv4 header checksum: the one's-complement sum of its 16-bit words,
// checksum included, is 0xffff when it is right. The kernel drops a
// datagram whose header sum is wrong, so the service would never see it.
bool headerSumIsRight(const unsigned char* header, std::size_t length) {
  uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += read16(header + i);
  while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
  return sum == 0xffff;
}

}  // namespace

Frame udpPayload(LinkType link, const unsigned char* data, std::size_t captured,
                 std::size_t wireLength, uint16_t port) {
  if (captured < wireLength) return {FrameVerdict::kTruncated, {}};

  // The link header: its length, and where it names the network protocol.
  std::size_t linkHeader = 0;
  std::size_t typeAt = 0;
  switch (link) {
    case LinkType::kEthernet:
      linkHeader = 14;  // destination, source, type
      typeAt = 12;
      break;
    case LinkType::kLinuxSll:
      linkHeader = 16;  // packet type, device type, address, protocol
      typeAt = 14;
      break;
    case LinkType::kLinuxSll2:
      linkHeader = 20;  // protocol first, then the rest
      typeAt = 0;
      break;
    case LinkType::kRawIp:
      break;
  }
  if (captured < linkHeader) return {FrameVerdict::kTruncated, {}};
  if (link != LinkType::kRawIp && read16(data + typeAt) != kEtherTypeIpv4)
    return {FrameVerdict::kNotIpv4, {}};

  const unsigned char* ip = data + linkHeader;
  const std::size_t ipBytes = captured - linkHeader;
  if (ipBytes < 1 || (ip[0] >> 4) != 4) return {FrameVerdict::kNotIpv4, {}};
  const std::size_t headerLength = static_cast<std::size_t>(ip[0] & 0xf) * 4;
  if (ipBytes < kIpv4MinHeader || headerLength < kIpv4MinHeader ||
      headerLength > ipBytes)
    return {FrameVerdict::kBadIpHeader, {}};
  // Ethernet may pad a short frame: the IPv4 total length says where the
  // datagram ends.
  const std::size_t totalLength = read16(ip + 2);
  if (totalLength < headerLength || totalLength > ipBytes ||
      !headerSumIsRight(ip, headerLength))
    return {FrameVerdict::kBadIpHeader, {}};
  // More fragments follow, or this is not the first: the text is not whole.
  if ((read16(ip + 6) & 0x3fff) != 0) return {FrameVerdict::kFragment, {}};
  if (ip[9] != kProtocolUdp) return {FrameVerdict::kNotUdp, {}};

  const unsigned char* udp = ip + headerLength;
  const std::size_t udpBytes = totalLength - headerLength;
  if (udpBytes < kUdpHeader) return {FrameVerdict::kBadUdpLength, {}};
  if (read16(udp + 2) != port) return {FrameVerdict::kOtherPort, {}};
  // The UDP length counts its own header; the kernel drops a datagram that
  // claims more than the IP datagram holds. The UDP checksum is not
  // checked: on loopback and with checksum offload a captured frame does
  // not carry the final one.
  const std::size_t udpLength = read16(udp + 4);
  if (udpLength < kUdpHeader || udpLength > udpBytes)
    return {FrameVerdict::kBadUdpLength, {}};
  return {FrameVerdict::kPayload,
          {reinterpret_cast<const char*>(udp + kUdpHeader),
           udpLength - kUdpHeader}};
}

}  // namespace zodm::tools
