// The display service's socket: where initServer binds it, what it reports,
// and what a second bind on the same port leaves behind.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "testSupport.h"
#include "zodm.h"

namespace {

using zodm::test::DiagnosticCapture;
using zodm::test::withoutLineNumbers;

std::string boundAddress(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return "getsockname failed";
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
  return std::to_string(local.sin_family) + " " + text + ":" +
         std::to_string(ntohs(local.sin_port));
}

int socketOption(int fd, int option) {
  int value = -1;
  socklen_t length = sizeof value;
  getsockopt(fd, SOL_SOCKET, option, &value, &length);
  return value;
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A descriptor initServer hands out, closed however the test ends.
struct OwnedSocket {
  int32_t fd = -77;
  OwnedSocket() = default;
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;
  ~OwnedSocket() {
    if (fd >= 0) close(fd);
  }
};

TEST(InitServer, BindsLoopbackOnlyForOneAndAllAddressesOtherwise) {
  const struct {
    int32_t loopbackOnly;
    const char* address;
  } kCases[] = {
      {1, "127.0.0.1"},
      {0, "0.0.0.0"},
      {2, "0.0.0.0"},
      {-1, "0.0.0.0"},
      {std::numeric_limits<int32_t>::min(), "0.0.0.0"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE("loopbackOnly " + std::to_string(c.loopbackOnly));
    OwnedSocket server;
    DiagnosticCapture capture;
    ASSERT_EQ(0, initServer(&server.fd, c.loopbackOnly));
    EXPECT_EQ(std::to_string(AF_INET) + " " + c.address + ":50555",
              boundAddress(server.fd));
    // A plain blocking datagram socket: no address reuse, so a second
    // service on the port fails instead of sharing it.
    EXPECT_EQ(SOCK_DGRAM, socketOption(server.fd, SO_TYPE));
    EXPECT_EQ(0, socketOption(server.fd, SO_REUSEADDR));
    EXPECT_EQ(0, fcntl(server.fd, F_GETFL) & O_NONBLOCK);

    const std::string line = std::string("(W)zodmServer:#,initServer() ") +
                             "Bound successfully to " + c.address + ":50555.\n";
    EXPECT_EQ(line, withoutLineNumbers(capture.stderrText()));
    const auto logged = capture.syslog();
    ASSERT_EQ(1u, logged.size());
    EXPECT_EQ(LOG_WARNING, logged[0].priority);
    EXPECT_EQ(line, withoutLineNumbers(logged[0].text));
  }
}

TEST(InitServer, SecondBindFailsAndLeavesBothSocketsOpen) {
  // Without address reuse, loopback and wildcard binds of one port exclude
  // each other in either order.
  const struct {
    int32_t first;
    int32_t second;
  } kCases[] = {{1, 1}, {0, 0}, {0, 1}, {1, 0}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
    OwnedSocket first;
    OwnedSocket second;
    {
      DiagnosticCapture quiet;  // the first bind's success report
      ASSERT_EQ(0, initServer(&first.fd, c.first));
    }
    DiagnosticCapture capture;
    EXPECT_EQ(-1, initServer(&second.fd, c.second));
    EXPECT_EQ("Error invoking bind: Address already in use\n",
              capture.stderrText());
    EXPECT_TRUE(capture.syslog().empty());
    EXPECT_NE(first.fd, second.fd);
    EXPECT_TRUE(isOpen(first.fd));
    EXPECT_TRUE(isOpen(second.fd));  // closing it is the caller's business
  }
}

}  // namespace
