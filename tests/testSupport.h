// SPDX-License-Identifier: MIT
// Shared test helpers: diagnostics capture, fresh-process runs, sentinel
// commands and a loopback UDP receiver. The suites rely on the standard
// headers included here.
#ifndef ZODM_TESTS_TESTSUPPORT_H
#define ZODM_TESTS_TESTSUPPORT_H

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zodm.h"

namespace zodm::test {

// One diagnostic: syslog priority and text, its line number shown as "#".
using Line = std::pair<int, std::string>;
using Lines = std::vector<Line>;

// "(E)module:#,function() message" at LOG_ERR; "(W)..." at LOG_WARNING.
Line error(const std::string& module, const std::string& function,
           const std::string& message);
Line warning(const std::string& module, const std::string& function,
             const std::string& message);

// Priority of the extra entry diagnosticsOf adds for standard error.
constexpr int kStderr = -1;

// Runs work while syslog is interposed (nothing reaches the system log) and
// standard error goes to a file. Returns the syslog calls, in order; then, if
// standard error did not get exactly their texts in the same order, one more
// entry {kStderr, everything it got}; then, for each text that standard error
// got before syslog did, {kStderr, "on standard error before syslog: TEXT"}.
// Not reentrant.
Lines diagnosticsOf(const std::function<void()>& work);

// Runs body in a forked child (a death test) and fails if body's checks do.
// The child starts with no client call made, since GoogleTest runs death
// test suites ("...DeathTest") before all others. Forking, unlike re-running
// the binary, works under an emulator (qemu-user) as well.
void expectInFreshProcess(const std::function<void()>& body);

// Runs body in a forked child and fails if body's checks do, or if it has
// not finished within `seconds` (it is then killed): for calls that must
// never hang.
void expectFinishesWithin(int seconds, const std::function<void()>& body);

// The wait status of child once it has ended, waiting at most `seconds`; a
// child still running then is killed, and nothing is returned.
std::optional<int> waitWithin(pid_t child, int seconds);

// Distinct values no request below carries, so untouched fields show.
constexpr DmCommand kSentinel{-7, -101, -102, -103, -104, -105, -106};

inline std::array<int32_t, 7> fields(const DmCommand& c) {
  return {c.code, c.priority, c.quality, c.xUp, c.yUp, c.xDown, c.yDown};
}

// kSentinel's fields with code set and the leading value fields (priority,
// quality, xUp, yUp, xDown, yDown) replaced by values.
std::array<int32_t, 7> with(int32_t code, const std::vector<int32_t>& values);

// A UDP socket bound to address:port, for receiving the library's requests.
// Its receive buffer holds a burst of requests that no one reads meanwhile.
class UdpReceiver {
 public:
  explicit UdpReceiver(const char* address = "127.0.0.1", int port = 50555);
  // Takes over fd, a bound UDP socket.
  explicit UdpReceiver(int fd) : fd_(fd) {}
  ~UdpReceiver();
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  bool ok() const { return fd_ >= 0; }
  // The next datagram's payload (and its source port), or nothing after
  // timeoutMs without one.
  std::optional<std::string> receive(int timeoutMs = 2000,
                                     int* sourcePort = nullptr) const;

 private:
  int fd_;
};

// Number of descriptors open in this process.
int openDescriptorCount();

// Sockets this process holds open.
int openSocketCount();

// Number of sockets open in this process that a program it starts would
// inherit (not close-on-exec).
int inheritableSocketCount();

}  // namespace zodm::test

#endif  // ZODM_TESTS_TESTSUPPORT_H
