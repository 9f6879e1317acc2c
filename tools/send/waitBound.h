// SPDX-License-Identifier: MIT
// zodm-send --wait: waits until a socket on this machine is bound to the
// port a request goes to, so that a service started just before, in the
// background, gets it. A datagram sent before the bind is lost without a
// word, since requests get no reply.
#ifndef ZODM_SEND_WAITBOUND_H
#define ZODM_SEND_WAITBOUND_H

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace zodm::send {

// True when table, the text of /proc/net/udp or /proc/net/udp6, lists a
// socket bound to port on address (network byte order) or on the wildcard
// address (0.0.0.0, or :: and ::ffff:ADDRESS in udp6), which would receive
// a datagram sent to address:port.
bool listsBound(std::string_view table, in_addr_t address, uint16_t port);

// Waits at most seconds until such a socket exists in this process's
// network namespace, looking every few milliseconds. Returns an empty text
// once one does, else the reason: none in time, the address is not one of
// this machine's (the tables list only its own sockets), or the tables
// cannot be read.
std::string waitBound(in_addr_t address, uint16_t port, unsigned seconds);

}  // namespace zodm::send

#endif  // ZODM_SEND_WAITBOUND_H
