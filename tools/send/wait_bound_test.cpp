// SPDX-License-Identifier: MIT
// Which lines of /proc/net/udp and udp6 show a socket that would receive a
// request sent to an address and port.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "waitBound.h"

namespace {

constexpr char kHeading[] =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
    "retrnsmt   uid  timeout inode ref pointer drops\n";

in_addr_t ipv4(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

// The address as the kernel prints it: each 32-bit word of it as the
// number its bytes make in memory, so the test holds on either byte order.
std::string word(uint32_t w) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", w);
  return text;
}

// A table with one socket: bound to local, connected to remote.
std::string table(const std::string& local, const std::string& remote) {
  return std::string(kHeading) + "  321: " + local + " " + remote +
         " 07 00000000:00000000 00:00000000 00000000     0        0 4242 2 "
         "0000000000000000 0\n";
}

TEST(WaitBound, ListsBoundMatchesAddressOrWildcardAndPort) {
  const std::string loopback = word(ipv4("127.0.0.1"));
  const std::string any = word(0);
  const std::string mapped = word(0) + word(0) + word(htonl(0xffff));
  const std::string none = word(0) + ":0000";
  const struct {
    std::string table;
    const char* to;
    bool bound;
  } kCases[] = {
      {table(loopback + ":C57B", none), "127.0.0.1", true},
      {table(loopback + ":C57B", none), "127.0.0.2", false},
      {table(any + ":C57B", none), "127.0.0.2", true},
      {table(loopback + ":C57C", none), "127.0.0.1", false},
      // A client that sends to the port holds another one itself.
      {table(loopback + ":9C40", loopback + ":C57B"), "127.0.0.1", false},
      {table(any + any + any + any + ":C57B", none + none), "127.0.0.1", true},
      {table(mapped + loopback + ":C57B", none), "127.0.0.1", true},
      {table(mapped + loopback + ":C57B", none), "127.0.0.2", false},
      {table(any + any + any + word(htonl(1)) + ":C57B", none), "127.0.0.1",
       false},  // ::1 takes no IPv4
      {kHeading, "127.0.0.1", false},
      {"", "127.0.0.1", false},
      {table("0100007:C57B", none), "127.0.0.1", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.table + " to " + c.to);
    EXPECT_EQ(c.bound, zodm::send::listsBound(c.table, ipv4(c.to), 50555));
  }
}

}  // namespace
