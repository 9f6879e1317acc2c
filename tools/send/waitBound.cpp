// SPDX-License-Identifier: MIT
#include "waitBound.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "wholeFile.h"

namespace zodm::send {
namespace {

constexpr const char* kTables[] = {"/proc/net/udp", "/proc/net/udp6"};

// The 32-bit word written as 8 hexadecimal digits at the start of text. The
// kernel prints each word of an address as the number its bytes, in network
// order, make in memory, so the word compares equal to an in_addr_t.
std::optional<uint32_t> word(std::string_view text) {
  uint32_t value = 0;
  if (text.size() < 8) return std::nullopt;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + 8, value, 16);
  if (error != std::errc{} || end != text.data() + 8) return std::nullopt;
  return value;
}

// True when local, a table's "ADDRESS:PORT" field (ADDRESS 8 or 32 hex
// digits, PORT 4, in host order), receives what is sent to address:port.
bool receives(std::string_view local, in_addr_t address, uint16_t port) {
  const std::size_t colon = local.find(':');
  if (colon == std::string_view::npos) return false;
  uint32_t bound = 0;
  const std::string_view portText = local.substr(colon + 1);
  const auto [end, error] = std::from_chars(
      portText.data(), portText.data() + portText.size(), bound, 16);
  if (error != std::errc{} || end != portText.data() + portText.size() ||
      bound != port)
    return false;
  const std::string_view hex = local.substr(0, colon);
  if (hex.size() == 8) {
    const auto a = word(hex);
    return a && (*a == address || *a == INADDR_ANY);
  }
  if (hex.size() != 32) return false;
  std::array<uint32_t, 4> w{};
  for (std::size_t i = 0; i < w.size(); ++i) {
    const auto a = word(hex.substr(8 * i));
    if (!a) return false;
    w[i] = *a;
  }
  // "::" (a dual-stack socket) or "::ffff:ADDRESS".
  return w[0] == 0 && w[1] == 0 &&
         ((w[2] == 0 && w[3] == 0) ||
          (w[2] == htonl(0xffff) && w[3] == address));
}

// True when address is one of this machine's: a socket can be bound to it.
bool isLocal(in_addr_t address) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;  // cannot tell; the wait will say what it finds
  sockaddr_in probe{};
  probe.sin_family = AF_INET;
  probe.sin_addr.s_addr = address;
  const bool local =
      bind(fd, reinterpret_cast<const sockaddr*>(&probe), sizeof probe) == 0 ||
      errno != EADDRNOTAVAIL;
  close(fd);
  return local;
}

}  // namespace

bool listsBound(std::string_view table, in_addr_t address, uint16_t port) {
  // Each line after the heading: "  SL: LOCAL REMOTE STATE ...".
  for (std::size_t start = table.find('\n'); start != std::string_view::npos;) {
    const std::size_t end = table.find('\n', start + 1);
    std::string_view line = table.substr(start + 1, end - start - 1);
    start = end;
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) continue;
    const std::size_t local = line.find_first_not_of(' ', colon + 1);
    if (local == std::string_view::npos) continue;
    line.remove_prefix(local);
    if (receives(line.substr(0, line.find(' ')), address, port)) return true;
  }
  return false;
}

std::string waitBound(in_addr_t address, uint16_t port, unsigned seconds) {
  std::array<char, INET_ADDRSTRLEN> shown{};
  in_addr a{};
  a.s_addr = address;
  inet_ntop(AF_INET, &a, shown.data(), shown.size());
  const std::string where =
      std::string(shown.data()) + ":" + std::to_string(port);
  if (!isLocal(address))
    return "--wait: " + std::string(shown.data()) +
           " is not an address of this machine, whose services alone it "
           "can see";
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    for (const char* file : kTables) {
      std::string table;
      const std::string why = tools::readWholeFile(file, table);
      // A kernel without IPv6 has no udp6; udp it always has.
      if (!why.empty() && file == kTables[0])
        return std::string("--wait: cannot read ") + file + ": " + why;
      if (why.empty() && listsBound(table, address, port)) return "";
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "--wait: no service bound " + where + " (UDP) within " +
         std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

}  // namespace zodm::send
