// SPDX-License-Identifier: MIT
// Captured frames read down to their UDP payload: every link type a tap
// accepts, and frames a service would never receive or that cannot be read
// whole, which must give no payload. Each frame lies in a buffer of exactly
// its captured length, so a read past it is caught under AddressSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tapFrame.h"

namespace zodm::tools {
namespace {

using Bytes = std::vector<unsigned char>;
constexpr uint16_t kPort = 50555;
constexpr std::string_view kText = "!0,1,2";

void put16(Bytes& b, std::size_t at, unsigned value) {
  b[at] = static_cast<unsigned char>(value >> 8);
  b[at + 1] = static_cast<unsigned char>(value);
}

unsigned get16(const Bytes& b, std::size_t at) {
  return (static_cast<unsigned>(b[at]) << 8) | b[at + 1];
}

// Writes the IPv4 header checksum of the header at ip.
void sealHeader(Bytes& b, std::size_t ip) {
  const std::size_t length = (b[ip] & 0xfu) * 4u;
  put16(b, ip + 10, 0);
  uint32_t sum = 0;
  for (std::size_t i = 0; i < length && ip + i + 1 < b.size(); i += 2)
    sum += get16(b, ip + i);
  while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
  put16(b, ip + 10, ~sum & 0xffff);
}

std::size_t linkLength(LinkType link) {
  switch (link) {
    case LinkType::kEthernet:
      return 14;
    case LinkType::kLinuxSll:
      return 16;
    case LinkType::kLinuxSll2:
      return 20;
    case LinkType::kRawIp:
      return 0;
  }
  return 0;
}

// A well-formed frame carrying text to the port, as lo or "any" gives it.
Bytes frame(LinkType link, std::string_view text = kText) {
  const std::size_t ip = linkLength(link);
  Bytes b(ip + 20 + 8 + text.size());
  if (link == LinkType::kEthernet) put16(b, 12, 0x0800);
  if (link == LinkType::kLinuxSll) put16(b, 14, 0x0800);
  if (link == LinkType::kLinuxSll2) put16(b, 0, 0x0800);
  b[ip] = 0x45;  // version 4, 20-byte header
  put16(b, ip + 2, 20 + 8 + static_cast<unsigned>(text.size()));
  put16(b, ip + 6, 0x4000);  // don't fragment
  b[ip + 8] = 64;
  b[ip + 9] = 17;
  b[ip + 12] = b[ip + 16] = 127;
  b[ip + 15] = b[ip + 19] = 1;
  put16(b, ip + 20, 40000);
  put16(b, ip + 22, kPort);
  put16(b, ip + 24, 8 + static_cast<unsigned>(text.size()));
  std::copy(text.begin(), text.end(), b.data() + ip + 28);
  sealHeader(b, ip);
  return b;
}

Frame read(LinkType link, const Bytes& b, std::size_t wire) {
  return udpPayload(link, b.data(), b.size(), wire, kPort);
}

TEST(TapFrame, ReadsThePayloadOfEveryLinkType) {
  for (const LinkType link : {LinkType::kEthernet, LinkType::kLinuxSll,
                              LinkType::kLinuxSll2, LinkType::kRawIp}) {
    SCOPED_TRACE(static_cast<int>(link));
    const Bytes b = frame(link);
    const Frame f = read(link, b, b.size());
    EXPECT_EQ(FrameVerdict::kPayload, f.verdict);
    EXPECT_EQ(kText, f.payload);
  }
  const Bytes empty = frame(LinkType::kEthernet, "");
  const Frame f = read(LinkType::kEthernet, empty, empty.size());
  EXPECT_EQ(FrameVerdict::kPayload, f.verdict);
  EXPECT_TRUE(f.payload.empty());
}

// Ethernet (14 bytes) frames changed in one way, header checksum rewritten
// unless the case is about it: what the reader makes of them.
TEST(TapFrame, ChecksEveryHeader) {
  constexpr std::size_t ip = 14;
  constexpr std::size_t udp = ip + 20;
  const struct {
    const char* name;
    std::function<void(Bytes&)> change;
    FrameVerdict verdict;
    std::string_view payload;
  } kCases[] = {
      {"padding after the datagram is ignored",
       [](Bytes& b) { b.resize(b.size() + 10, 0xee); }, FrameVerdict::kPayload,
       kText},
      {"a header with options",
       [](Bytes& b) {
         // Four no-operation options.
         b.insert(b.begin() + static_cast<std::ptrdiff_t>(udp), 4, 0x01);
         b[ip] = 0x46;
         put16(b, ip + 2, get16(b, ip + 2) + 4);
       },
       FrameVerdict::kPayload, kText},
      {"a UDP length shorter than the datagram ends the payload",
       [](Bytes& b) { put16(b, udp + 4, 8 + 2); }, FrameVerdict::kPayload,
       "!0"},
      {"IPv6", [](Bytes& b) { put16(b, 12, 0x86dd); }, FrameVerdict::kNotIpv4,
       ""},
      {"a VLAN tag", [](Bytes& b) { put16(b, 12, 0x8100); },
       FrameVerdict::kNotIpv4, ""},
      {"version 6 in an IPv4 frame", [](Bytes& b) { b[ip] = 0x65; },
       FrameVerdict::kNotIpv4, ""},
      {"a header length below 20", [](Bytes& b) { b[ip] = 0x44; },
       FrameVerdict::kBadIpHeader, ""},
      {"a header length past the frame", [](Bytes& b) { b[ip] = 0x4f; },
       FrameVerdict::kBadIpHeader, ""},
      {"a total length past the frame",
       [](Bytes& b) { put16(b, ip + 2, get16(b, ip + 2) + 1); },
       FrameVerdict::kBadIpHeader, ""},
      {"a total length inside the header",
       [](Bytes& b) { put16(b, ip + 2, 19); }, FrameVerdict::kBadIpHeader, ""},
      {"more fragments follow", [](Bytes& b) { put16(b, ip + 6, 0x2000); },
       FrameVerdict::kFragment, ""},
      {"not the first fragment", [](Bytes& b) { put16(b, ip + 6, 0x0001); },
       FrameVerdict::kFragment, ""},
      {"TCP", [](Bytes& b) { b[ip + 9] = 6; }, FrameVerdict::kNotUdp, ""},
      {"another port", [](Bytes& b) { put16(b, udp + 2, kPort + 1); },
       FrameVerdict::kOtherPort, ""},
      {"the port as source only",
       [](Bytes& b) {
         put16(b, udp, kPort);
         put16(b, udp + 2, 40000);
       },
       FrameVerdict::kOtherPort, ""},
      {"a UDP length below its header", [](Bytes& b) { put16(b, udp + 4, 7); },
       FrameVerdict::kBadUdpLength, ""},
      {"a UDP length past the datagram",
       [](Bytes& b) { put16(b, udp + 4, get16(b, udp + 4) + 1); },
       FrameVerdict::kBadUdpLength, ""},
      {"a datagram too short for a UDP header",
       [](Bytes& b) {
         b.resize(udp + 4);
         put16(b, ip + 2, 24);
       },
       FrameVerdict::kBadUdpLength, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes b = frame(LinkType::kEthernet);
    c.change(b);
    sealHeader(b, ip);
    const Frame f = read(LinkType::kEthernet, b, b.size());
    EXPECT_EQ(c.verdict, f.verdict);
    EXPECT_EQ(c.payload, f.payload);
  }

  Bytes wrongSum = frame(LinkType::kEthernet);
  wrongSum[ip + 10] ^= 1;
  EXPECT_EQ(FrameVerdict::kBadIpHeader,
            read(LinkType::kEthernet, wrongSum, wrongSum.size()).verdict);
}

// A frame cut short, by the capture or on the wire, gives no payload, and
// nothing past its captured bytes is read.
TEST(TapFrame, NoPayloadFromAShortFrame) {
  for (const LinkType link : {LinkType::kEthernet, LinkType::kLinuxSll,
                              LinkType::kLinuxSll2, LinkType::kRawIp}) {
    const Bytes whole = frame(link);
    for (std::size_t length = 0; length < whole.size(); ++length) {
      SCOPED_TRACE(std::to_string(static_cast<int>(link)) + ": " +
                   std::to_string(length) + " bytes");
      const Bytes cut(whole.begin(),
                      whole.begin() + static_cast<std::ptrdiff_t>(length));
      EXPECT_EQ(FrameVerdict::kTruncated,
                read(link, cut, whole.size()).verdict);
      EXPECT_NE(FrameVerdict::kPayload, read(link, cut, length).verdict);
    }
  }
}

}  // namespace
}  // namespace zodm::tools
