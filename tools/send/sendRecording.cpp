// SPDX-License-Identifier: MIT
// See sendRecording.h.
#include "sendRecording.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "usageErrors.h"
#include "zodm.h"

namespace zodm::send {

using tools::kExitFailure;
using tools::RecordedRequest;

namespace {

// start plus micros, as a clock's time.
timespec after(const timespec& start, int64_t micros) {
  timespec at = start;
  at.tv_sec += static_cast<time_t>(micros / 1000000);
  at.tv_nsec += static_cast<long>(micros % 1000000) * 1000L;
  if (at.tv_nsec >= 1000000000L) {
    at.tv_nsec -= 1000000000L;
    ++at.tv_sec;
  }
  return at;
}

}  // namespace

int sendRecording(const std::string& server,
                  const std::vector<RecordedRequest>& requests, double speed) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(DM_SERVER_PORT);
  if (inet_pton(AF_INET, server.c_str(), &address.sin_addr) != 1) {
    std::fprintf(stderr, "zodm-send: '%s' is not an IPv4 address\n",
                 server.c_str());
    return kExitFailure;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::fprintf(stderr, "zodm-send: cannot make a socket: %s\n",
                 std::strerror(errno));
    return kExitFailure;
  }
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const int64_t first = requests.empty() ? 0 : requests.front().micros;
  int status = 0;
  for (const RecordedRequest& request : requests) {
    if (speed > 0) {
      const auto offset = static_cast<int64_t>(
          std::llround(static_cast<double>(request.micros - first) / speed));
      const timespec at = after(start, offset);
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) ==
             EINTR) {
      }
    }
    if (sendto(fd, request.text.data(), request.text.size(), 0,
               reinterpret_cast<const sockaddr*>(&address),
               sizeof address) < 0) {
      std::fprintf(stderr, "zodm-send: cannot send to %s: %s\n", server.c_str(),
                   std::strerror(errno));
      status = kExitFailure;
      break;
    }
  }
  close(fd);
  return status;
}

}  // namespace zodm::send
