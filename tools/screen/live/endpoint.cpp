// SPDX-License-Identifier: MIT
// See endpoint.h.
#include "endpoint.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "parse.h"
#include "text.h"

namespace zodm::live {

bool Endpoint::loopback() const { return (ntohl(address.s_addr) >> 24) == 127; }

std::string Endpoint::text() const {
  char buffer[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, buffer, sizeof buffer);
  std::string out = buffer;
  out += ':';
  tools::appendDecimal(out, port);
  return out;
}

std::string parseEndpoint(std::string_view word, Endpoint& endpoint) {
  std::string_view host = "127.0.0.1";
  std::string_view portText = word;
  if (const auto colon = word.rfind(':'); colon != std::string_view::npos) {
    host = word.substr(0, colon);
    portText = word.substr(colon + 1);
    if (host.empty()) return "the address before ':' is empty";
  }
  if (host == "localhost") host = "127.0.0.1";
  unsigned long long port = 0;
  if (!tools::parseWhole(portText, 1, 65535, port))
    return tools::quoted("the port ", portText,
                         " is not a whole number from 1 to 65535");
  Endpoint parsed;
  const std::string address(host);
  if (inet_pton(AF_INET, address.c_str(), &parsed.address) != 1)
    return tools::quoted("", address,
                         " is not an IPv4 address in dotted-decimal form");
  parsed.port = static_cast<uint16_t>(port);
  endpoint = parsed;
  return {};
}

int listenOn(const Endpoint& endpoint) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A restarted emulator binds again at once, while connections of the one
  // before still linger; Linux never lets two sockets listen on one port.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = endpoint.address;
  address.sin_port = htons(endpoint.port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
          0 ||
      listen(fd, 16) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace zodm::live
