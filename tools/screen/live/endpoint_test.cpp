// SPDX-License-Identifier: MIT
// Where --serve serves the page: the address and port read from its word,
// and the socket that listens there.
#include "endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zodm::live {
namespace {

TEST(ParseEndpoint, AddressAndPort) {
  const struct {
    const char* word;
    const char* endpoint;  // nullptr: refused
    bool loopback;
  } kCases[] = {
      {"8050", "127.0.0.1:8050", true},
      {"0.0.0.0:8050", "0.0.0.0:8050", false},
      {"localhost:1", "127.0.0.1:1", true},
      {"127.1.2.3:65535", "127.1.2.3:65535", true},
      {"", nullptr, false},
      {"0", nullptr, false},
      {"65536", nullptr, false},
      {"-1", nullptr, false},
      {"80x", nullptr, false},
      {":8050", nullptr, false},
      {"127.0.0.1:", nullptr, false},
      {"1.2.3:8050", nullptr, false},
      {"::1:8050", nullptr, false},
      {"name.example:8050", nullptr, false},
      {"127.0.0.1:8050:1", nullptr, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.word);
    Endpoint endpoint;
    const std::string problem = parseEndpoint(c.word, endpoint);
    if (c.endpoint == nullptr) {
      EXPECT_NE("", problem);
      continue;
    }
    EXPECT_EQ("", problem);
    EXPECT_EQ(c.endpoint, endpoint.text());
    EXPECT_EQ(c.loopback, endpoint.loopback());
  }
}

TEST(ListenOn, OneListenerAPortClosedOnExec) {
  Endpoint endpoint;
  ASSERT_EQ("", parseEndpoint("127.0.0.1:1", endpoint));
  // A port of the kernel's choosing, then the same one again.
  endpoint.port = 0;
  const int first = listenOn(endpoint);
  ASSERT_LE(0, first) << std::strerror(errno);
  EXPECT_NE(0, fcntl(first, F_GETFD) & FD_CLOEXEC);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ASSERT_EQ(0,
            getsockname(first, reinterpret_cast<sockaddr*>(&bound), &length));
  endpoint.port = ntohs(bound.sin_port);
  // Never two listeners on one port, SO_REUSEADDR or not.
  errno = 0;
  EXPECT_EQ(-1, listenOn(endpoint));
  EXPECT_EQ(EADDRINUSE, errno);
  close(first);
}

}  // namespace
}  // namespace zodm::live
