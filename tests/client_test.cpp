// SPDX-License-Identifier: MIT
// Client requests as they arrive on a loopback socket, the client endpoint's
// address changes, and what its failures leave behind.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "testSupport.h"
#include "zodm.h"

namespace {

// While not 0, sendto fails with this errno, as a send does with no route or
// no buffer space.
int failingSends = 0;

}  // namespace

// Interposed over the C library's, which it calls otherwise.
extern "C" ssize_t sendto(int fd, const void* buffer, size_t length, int flags,
                          const sockaddr* to, socklen_t toLength) {
  using Real =
      ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
  static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "sendto"));
  if (failingSends != 0) {
    errno = failingSends;
    return -1;
  }
  return real(fd, buffer, length, flags, to, toLength);
}

namespace {

using namespace zodm::test;

constexpr int32_t kMin = INT32_MIN;

// Texts inet_pton refuses for IPv4: a host name, IPv6, empty, out of range,
// too few parts.
const char* const kBadAddresses[] = {"localhost", "::1", "", "127.0.0.256",
                                     "1.2.3"};

// dmMessageInit refuses address, with its diagnostic.
void expectRefused(const char* address) {
  SCOPED_TRACE(address);
  const Line notAnAddress = error(
      "zodm", "dmMessageInit",
      std::string(address) +
          " not a presentation IP address (not in dotted decimal format).\n\n");
  EXPECT_EQ(Lines{notAnAddress},
            diagnosticsOf([&] { EXPECT_EQ(-1, dmMessageInit(address)); }));
}

const Line kNoSocket = error("zodm", "dmMessageInit",
                             "Failed to create a datagram socket (" +
                                 std::string(strerror(EMFILE)) + ").\n\n");
const Line kDumpRefused =
    error("zodm", "dmDump", "dmDump is not implemented.\n\n");

// The next datagram's payload, or a text no request can have.
std::string received(const UdpReceiver& receiver) {
  return receiver.receive().value_or("<nothing arrived>");
}

// Runs work with the soft descriptor limit at 0, so that creating any
// descriptor, the client's socket included, fails with EMFILE.
void withoutNewDescriptors(const std::function<void()>& work) {
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit none{0, saved.rlim_max};
  setrlimit(RLIMIT_NOFILE, &none);
  work();
  setrlimit(RLIMIT_NOFILE, &saved);
}

// In a fresh process, refused calls leave the endpoint uninitialised: bad
// addresses, dmDump (which sends nothing), and requests whose implicit
// initialisation fails (each is dropped and the next one tries again). The
// first request that can initialise does so for 127.0.0.1 with one socket.
TEST(ClientFirstCallDeathTest, RefusalsLeaveTheEndpointUninitialised) {
  expectInFreshProcess([] {
    UdpReceiver loopback;
    ASSERT_TRUE(loopback.ok());
    const int before = openDescriptorCount();
    for (const char* address : kBadAddresses) expectRefused(address);
    EXPECT_EQ(Lines{kDumpRefused},
              diagnosticsOf([] { EXPECT_EQ(-1, dmDump()); }));
    EXPECT_EQ(before, openDescriptorCount());
    EXPECT_EQ((Lines{kNoSocket, kNoSocket}), diagnosticsOf([] {
                withoutNewDescriptors([] {
                  errno = EDOM;
                  EXPECT_EQ(0, dmDisplay(1, 2));
                  EXPECT_EQ(0, dmDisplayPartial(1, 1, 0, 0, 1, 1));
                  EXPECT_EQ(EDOM, errno);  // despite socket and the report
                });
              }));
    EXPECT_EQ(0, dmDisplayEraseToWhite(3));
    EXPECT_EQ(before + 1, openDescriptorCount());
    EXPECT_EQ("!3,3", received(loopback));  // and nothing before it
  });
}

// Each test first points the endpoint at 127.0.0.1, so that the tests do not
// depend on what ran before them in the process.
class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(loopback_.ok());
    ASSERT_TRUE(other_.ok());
    ASSERT_EQ(0, dmMessageInit("127.0.0.1"));
  }

  UdpReceiver loopback_{"127.0.0.1"};
  UdpReceiver other_{"127.0.0.2"};
};

// Requests go out as their texts, with no NUL or line end, values unchecked.
TEST_F(Client, SendsEachRequestAsItsText) {
  const std::pair<std::function<int32_t()>, std::string> kCases[] = {
      {[] { return dmDisplay(1, 2); }, "!0,1,2"},
      {[] { return dmDisplayPartial(-1, 4, 769, -2, 5, 1025); },
       "!1,-1,4,769,-2,5,1025"},
      {[] { return dmDisplayPartial(kMin, kMin, kMin, kMin, kMin, kMin); },
       "!1,-2147483648,-2147483648,-2147483648,-2147483648,-2147483648,"
       "-2147483648"},  // the longest text
      {[] { return dmDisplayEraseToWhite(INT32_MAX); }, "!3,2147483647"},
  };
  for (const auto& [call, text] : kCases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Lines{}, diagnosticsOf([&call = call] { EXPECT_EQ(0, call()); }));
    EXPECT_EQ(text, received(loopback_));
  }
  // Programs the application starts do not inherit the client's socket.
  EXPECT_EQ(0, inheritableSocketCount());
}

// Request calls leave errno as they found it, whether their send succeeds
// or fails, so that a request from a signal handler does not disturb the
// code it interrupted. A failed send is lost without a report.
TEST_F(Client, RequestsLeaveErrnoAsTheyFoundIt) {
  const std::pair<std::function<int32_t()>, std::string> kCalls[] = {
      {[] { return dmDisplay(1, 2); }, "!0,1,2"},
      {[] { return dmDisplayPartial(2, 1, 0, 0, 100, 200); },
       "!1,2,1,0,0,100,200"},
      {[] { return dmDisplayEraseToWhite(3); }, "!3,3"},
  };
  for (const int failure : {0, ENETUNREACH, ENOBUFS}) {
    for (const auto& [call, text] : kCalls) {
      SCOPED_TRACE(text + (failure ? " failing with " : " sent") +
                   (failure ? strerror(failure) : ""));
      failingSends = failure;
      errno = EDOM;  // nothing below sets it
      Lines diagnostics = diagnosticsOf([&call = call] { call(); });
      const int after = errno;
      failingSends = 0;
      EXPECT_EQ(EDOM, after);
      EXPECT_EQ(Lines{}, diagnostics);
      if (failure == 0) {
        EXPECT_EQ(text, received(loopback_));
      }
    }
  }
  EXPECT_EQ(0, dmDisplay(0, 0));  // and the failed ones never arrive
  EXPECT_EQ("!0,0,0", received(loopback_));
}

// A later dmMessageInit points the endpoint elsewhere and closes the socket
// it replaces; a refused address or a socket that cannot be created leaves
// the last successful one in force. dmDump sends nothing here either.
TEST_F(Client, InitSwitchesTheAddressOrKeepsItOnFailure) {
  const int before = openDescriptorCount();
  EXPECT_EQ(Lines{}, diagnosticsOf([] {
              for (int i = 0; i <= 100; ++i)  // ends at 127.0.0.2
                ASSERT_EQ(0, dmMessageInit(i % 2 ? "127.0.0.1" : "127.0.0.2"));
            }));
  EXPECT_EQ(before, openDescriptorCount());
  for (const char* address : kBadAddresses) {
    expectRefused(address);
    EXPECT_EQ(0, dmDisplayEraseToWhite(2));
    EXPECT_EQ("!3,2", received(other_));
  }
  EXPECT_EQ(Lines{kNoSocket}, diagnosticsOf([] {
              withoutNewDescriptors(
                  [] { EXPECT_EQ(-2, dmMessageInit("127.0.0.1")); });
            }));
  EXPECT_EQ(0, dmDisplay(1, 2));
  EXPECT_EQ("!0,1,2", received(other_));
  EXPECT_EQ(before, openDescriptorCount());
  ASSERT_EQ(0, dmMessageInit("127.0.0.1"));
  EXPECT_EQ(Lines{kDumpRefused},
            diagnosticsOf([] { EXPECT_EQ(-1, dmDump()); }));  // sends nothing
  EXPECT_EQ(0, dmDisplay(1, 1));
  EXPECT_EQ("!0,1,1", received(loopback_));  // nothing else came here
}

}  // namespace
