// SPDX-License-Identifier: MIT
// Where zodm-screen serves the live page (--serve): the address and port,
// read from the option's word, and the socket that listens there.
#ifndef ZODM_TOOLS_LIVE_ENDPOINT_H
#define ZODM_TOOLS_LIVE_ENDPOINT_H

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace zodm::live {

// An IPv4 address and a TCP port.
struct Endpoint {
  in_addr address{};
  uint16_t port = 0;
  bool loopback() const;
  // "127.0.0.1:8050"
  std::string text() const;
};

// Reads "[ADDRESS:]PORT": ADDRESS dotted-decimal IPv4 or "localhost"
// (127.0.0.1 when left out), PORT 1..65535. Returns an empty string, or what
// is wrong with it.
std::string parseEndpoint(std::string_view word, Endpoint& endpoint);

// Opens a TCP socket listening on endpoint (close-on-exec, SO_REUSEADDR).
// Returns its descriptor, or -1 with errno set.
int listenOn(const Endpoint& endpoint);

}  // namespace zodm::live

#endif  // ZODM_TOOLS_LIVE_ENDPOINT_H
