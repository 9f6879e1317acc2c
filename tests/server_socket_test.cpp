// SPDX-License-Identifier: MIT
// The display service's socket: where initServer binds it, what it reports,
// what a second bind on the same port leaves behind, why it fails without a
// socket, and requests received through it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "testSupport.h"
#include "zodm.h"

namespace {

using namespace zodm::test;

constexpr int32_t kMin = INT32_MIN;

// "address:port" the socket is bound to.
std::string boundAddress(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  std::string text = inet_ntoa(local.sin_addr);
  text += ':';
  text += std::to_string(ntohs(local.sin_port));
  return text;
}

TEST(InitServer, BindsLoopbackOnlyForOneAndAllAddressesOtherwise) {
  const std::pair<int32_t, std::string> kCases[] = {
      {1, "127.0.0.1"}, {0, "0.0.0.0"}, {2, "0.0.0.0"}, {-1, "0.0.0.0"}};
  for (const auto& [loopbackOnly, address] : kCases) {
    SCOPED_TRACE(loopbackOnly);
    int32_t fd = -1;
    EXPECT_EQ(Lines{warning("zodmServer", "initServer",
                            "Bound successfully to " + address + ":50555.\n")},
              diagnosticsOf([&, loopbackOnly = loopbackOnly] {
                EXPECT_EQ(0, initServer(&fd, loopbackOnly));
              }));
    EXPECT_EQ(address + ":50555", boundAddress(fd));
    // A blocking socket, as a service reading requests in a loop expects.
    EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
    // Programs the service starts do not inherit it.
    EXPECT_EQ(FD_CLOEXEC, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
  }
}

// Without address reuse, loopback and wildcard binds of one port exclude
// each other in either order. The error goes to standard error only.
TEST(InitServer, SecondBindFailsAndLeavesBothSocketsOpen) {
  const std::pair<int32_t, int32_t> kCases[] = {{1, 1}, {0, 0}, {0, 1}, {1, 0}};
  for (const auto& [firstLoopbackOnly, secondLoopbackOnly] : kCases) {
    SCOPED_TRACE(std::to_string(firstLoopbackOnly) + " then " +
                 std::to_string(secondLoopbackOnly));
    int32_t first = -1;
    int32_t second = -1;
    diagnosticsOf([&, firstLoopbackOnly = firstLoopbackOnly] {
      EXPECT_EQ(0, initServer(&first, firstLoopbackOnly));
    });
    EXPECT_EQ(
        (Lines{{kStderr, "Error invoking bind: Address already in use\n"}}),
        diagnosticsOf([&, secondLoopbackOnly = secondLoopbackOnly] {
          EXPECT_EQ(-1, initServer(&second, secondLoopbackOnly));
          EXPECT_EQ(EADDRINUSE, errno);  // bind's reason survives the report
        }));
    // Both stay open; closing the second is the caller's business.
    EXPECT_NE(first, second);
    EXPECT_NE(-1, fcntl(first, F_GETFD));
    EXPECT_NE(-1, fcntl(second, F_GETFD));
    close(first);
    close(second);
  }
}

// With every descriptor in use the socket cannot be made: the bind on -1 is
// reported as usual, -1 is left in socketOut, and errno keeps the socket's
// own reason, not the bind's EBADF.
TEST(InitServer, NoSocketLeavesMinusOneAndTheSocketsReason) {
  int32_t fd = 0;
  int error = 0;
  rlimit saved{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  const Lines said = diagnosticsOf([&] {
    // The lowest free number becomes the limit, so no new descriptor fits.
    const int lowest = fcntl(0, F_DUPFD, 0);
    close(lowest);
    rlimit full = saved;
    full.rlim_cur = static_cast<rlim_t>(lowest);
    if (setrlimit(RLIMIT_NOFILE, &full) != 0) std::abort();
    const int32_t result = initServer(&fd, 1);
    error = errno;
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(-1, result);
  });
  EXPECT_EQ((Lines{{kStderr, "Error invoking bind: Bad file descriptor\n"}}),
            said);
  EXPECT_EQ(-1, fd);
  EXPECT_EQ(EMFILE, error);
  // The limit is back: a socket can be made again.
  int32_t again = -1;
  diagnosticsOf([&] { EXPECT_EQ(0, initServer(&again, 1)); });
  close(again);
}

// End to end: client request calls into the socket initServer binds, then
// through dmMessageParser as a display service does. Refusals are shown
// whole by the pipeline tests.
TEST(RoundTrip, ClientRequestsArriveWithTheirValuesOrAreRefused) {
  int32_t fd = -1;
  diagnosticsOf([&] { EXPECT_EQ(0, initServer(&fd, 1)); });
  const UdpReceiver server(fd);
  const struct {
    std::function<int32_t()> call;
    int32_t result;
    std::array<int32_t, 7> expected;
  } kCases[] = {
      {[] { return dmDisplay(3, 3); }, 0, with(0, {3, 3})},
      {[] { return dmDisplayPartial(1, 2, 768, 1024, 0, 0); }, 0,
       with(1, {1, 2, 768, 1024, 0, 0})},
      {[] { return dmDisplayEraseToWhite(2); }, 0, with(3, {2})},
      {[] { return dmDisplay(0, INT32_MAX); }, -1, with(0, {0, INT32_MAX})},
      // The longest request text the client writes.
      {[] { return dmDisplayPartial(kMin, kMin, kMin, kMin, kMin, kMin); }, -1,
       with(1, {kMin, kMin, kMin, kMin, kMin, kMin})},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.expected));
    EXPECT_EQ(0, c.call());
    const std::string text = server.receive(5000).value_or("<none arrived>");
    DmCommand command = kSentinel;
    diagnosticsOf(
        [&] { EXPECT_EQ(c.result, dmMessageParser(text.c_str(), &command)); });
    EXPECT_EQ(c.expected, fields(command));
  }
}

}  // namespace
