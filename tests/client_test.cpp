// Client requests as they arrive on a loopback socket, the client endpoint's
// address changes, and what its failures leave behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <syslog.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "testSupport.h"
#include "zodm.h"

namespace {

using zodm::test::DiagnosticCapture;
using zodm::test::openDescriptorCount;
using zodm::test::UdpReceiver;
using zodm::test::withoutLineNumbers;

constexpr int32_t kMin = INT32_MIN;

// Texts inet_pton refuses for IPv4: a host name, IPv6, empty, out of range,
// too few parts.
const char* const kBadAddresses[] = {"localhost", "::1", "", "127.0.0.256",
                                     "1.2.3"};

std::string notAnAddress(const std::string& text) {
  return "(E)zodm:#,dmMessageInit() " + text +
         " not a presentation IP address (not in dotted decimal format).\n\n";
}

std::string noSocket() {
  return std::string(
             "(E)zodm:#,dmMessageInit() Failed to create a datagram socket (") +
         std::strerror(EMFILE) + ").\n\n";
}

// The diagnostics written to stderr, line numbers replaced by "#", provided
// syslog got each of them in one call at LOG_ERR with the same bytes and in
// the same order; otherwise that text and what syslog got, so that any
// comparison with the expected text fails. The client reports only errors.
std::string diagnostics(const DiagnosticCapture& capture) {
  const std::string text = capture.stderrText();
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t next = text.find("(E)zodm:", at + 1);
    pieces.push_back(text.substr(at, next - at));
    at = next;
  }
  std::vector<std::string> logged;
  std::string described;
  for (const auto& entry : capture.syslog()) {
    if (entry.priority == LOG_ERR) logged.push_back(entry.text);
    described += " <" + std::to_string(entry.priority) + "> " + entry.text;
  }
  if (logged == pieces && logged.size() == capture.syslog().size())
    return withoutLineNumbers(text);
  return withoutLineNumbers(text) + "[syslog differs:" + described + "]";
}

// The next datagram's payload, or a text no request can have.
std::string received(const UdpReceiver& receiver) {
  return receiver.receive().value_or("<nothing arrived>");
}

// Lowers the soft descriptor limit to 0 while alive, so that creating any
// descriptor, the client's socket included, fails with EMFILE.
class NoNewDescriptors {
 public:
  NoNewDescriptors() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit none = saved_;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &none);
  }
  ~NoNewDescriptors() { setrlimit(RLIMIT_NOFILE, &saved_); }
  NoNewDescriptors(const NoNewDescriptors&) = delete;
  NoNewDescriptors& operator=(const NoNewDescriptors&) = delete;

 private:
  rlimit saved_{};
};

// Failures found in a death-test child, whose gtest assertions never reach
// the parent. finish() prints them (after any DiagnosticCapture is gone, so
// stderr is the child's own again) and exits non-zero if there were any.
class ChildChecks {
 public:
  void equal(const std::string& expected, const std::string& actual,
             const char* what) {
    if (expected != actual)
      failures_ += std::string(what) + ": expected\n  \"" + expected +
                   "\"\ngot\n  \"" + actual + "\"\n";
  }
  void equal(long expected, long actual, const char* what) {
    equal(std::to_string(expected), std::to_string(actual), what);
  }
  [[noreturn]] void finish() const {
    std::fputs(failures_.c_str(), stderr);
    std::exit(failures_.empty() ? 0 : 1);
  }

 private:
  std::string failures_;
};

// Runs body in a newly executed copy of this binary, where no client call
// has been made yet, whatever ran before in this process.
void expectInFreshProcess(void (*body)(ChildChecks&)) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ChildChecks checks;
        body(checks);
        checks.finish();
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ClientFirstCallDeathTest, FirstRequestInitialisesForLoopback) {
  expectInFreshProcess([](ChildChecks& checks) {
    UdpReceiver loopback;
    checks.equal(1, loopback.ok(), "receiver bound to 127.0.0.1");
    {
      DiagnosticCapture capture;
      const int before = openDescriptorCount();
      checks.equal(-1, dmDump(), "dmDump result");
      checks.equal(before, openDescriptorCount(), "descriptors after dmDump");
      checks.equal(0, dmDisplay(1, 2), "dmDisplay result");
      checks.equal(before + 1, openDescriptorCount(), "descriptors after");
      checks.equal("(E)zodm:#,dmDump() dmDump is not implemented.\n\n",
                   diagnostics(capture), "diagnostics");
    }
    checks.equal("!0,1,2", received(loopback), "datagram at 127.0.0.1");
  });
}

TEST(ClientFirstCallDeathTest, BadAddressesLeaveTheEndpointUninitialised) {
  expectInFreshProcess([](ChildChecks& checks) {
    UdpReceiver loopback;
    checks.equal(1, loopback.ok(), "receiver bound to 127.0.0.1");
    const int before = openDescriptorCount();
    for (const char* address : kBadAddresses) {
      DiagnosticCapture capture;
      checks.equal(-1, dmMessageInit(address), address);
      checks.equal(notAnAddress(address), diagnostics(capture), address);
    }
    checks.equal(before, openDescriptorCount(), "descriptors");
    checks.equal(0, dmDisplayEraseToWhite(2), "dmDisplayEraseToWhite result");
    checks.equal("!3,2", received(loopback), "datagram at 127.0.0.1");
  });
}

TEST(ClientFirstCallDeathTest, FailedImplicitInitialisationDropsTheRequest) {
  expectInFreshProcess([](ChildChecks& checks) {
    UdpReceiver loopback;
    checks.equal(1, loopback.ok(), "receiver bound to 127.0.0.1");
    {
      DiagnosticCapture capture;
      {
        NoNewDescriptors limit;
        checks.equal(0, dmDisplay(1, 2), "dmDisplay result");
        checks.equal(0, dmDisplayPartial(1, 1, 0, 0, 1, 1),
                     "dmDisplayPartial result");
      }
      // Each request tries to initialise again, and reports its failure.
      checks.equal(noSocket() + noSocket(), diagnostics(capture),
                   "diagnostics");
    }
    checks.equal(0, dmDisplay(3, 3), "dmDisplay result");
    // The dropped requests never went out later on.
    checks.equal("!0,3,3", received(loopback), "datagram at 127.0.0.1");
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

// Requests go out as their texts, with no NUL or line end, and values
// unchecked; dmDump sends nothing, so the next request arrives first.
TEST_F(Client, SendsEachRequestAsItsText) {
  const struct {
    std::function<int32_t()> call;
    int32_t result;
    std::string text;  // empty: nothing sent
  } kCases[] = {
      {[] { return dmDisplay(1, 2); }, 0, "!0,1,2"},
      {[] { return dmDisplay(7, 9); }, 0, "!0,7,9"},
      {[] { return dmDump(); }, -1, ""},
      {[] { return dmDisplayPartial(1, 1, 0, 0, 768, 1024); }, 0,
       "!1,1,1,0,0,768,1024"},
      {[] { return dmDisplayPartial(-1, 4, 769, -2, 5, 1025); }, 0,
       "!1,-1,4,769,-2,5,1025"},
      {[] { return dmDisplayPartial(kMin, kMin, kMin, kMin, kMin, kMin); }, 0,
       "!1,-2147483648,-2147483648,-2147483648,-2147483648,-2147483648,"
       "-2147483648"},
      {[] { return dmDisplayEraseToWhite(3); }, 0, "!3,3"},
      {[] { return dmDisplayEraseToWhite(INT32_MAX); }, 0, "!3,2147483647"},
  };
  DiagnosticCapture capture;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.result, c.call());
    if (!c.text.empty()) {
      EXPECT_EQ(c.text, received(loopback_));
    }
  }
  EXPECT_EQ("(E)zodm:#,dmDump() dmDump is not implemented.\n\n",
            diagnostics(capture));
}

// A later dmMessageInit points the endpoint elsewhere and closes the socket
// it replaces.
TEST_F(Client, InitSwitchesTheAddressAndClosesTheOldSocket) {
  DiagnosticCapture capture;
  const int before = openDescriptorCount();
  EXPECT_EQ(0, dmMessageInit("127.0.0.2"));
  EXPECT_EQ(0, dmDisplayEraseToWhite(2));
  EXPECT_EQ("!3,2", received(other_));
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(0, dmMessageInit(i % 2 == 0 ? "127.0.0.1" : "127.0.0.2"));
  EXPECT_EQ(before, openDescriptorCount());
  EXPECT_EQ(0, dmDisplay(1, 2));
  EXPECT_EQ("!0,1,2", received(other_));
  ASSERT_EQ(0, dmMessageInit("127.0.0.1"));
  EXPECT_EQ(0, dmDisplay(1, 1));
  EXPECT_EQ("!0,1,1", received(loopback_));  // nothing else came here
  EXPECT_EQ("", diagnostics(capture));
}

// A refused address or a socket that cannot be created leaves the socket and
// address of the last successful dmMessageInit in force.
TEST_F(Client, FailedInitKeepsTheEndpoint) {
  struct Case {
    const char* address;
    bool noDescriptors;
    int32_t result;
    std::string diagnostic;
  };
  std::vector<Case> cases;
  for (const char* address : kBadAddresses)
    cases.push_back({address, false, -1, notAnAddress(address)});
  cases.push_back({"127.0.0.1", true, -2, noSocket()});

  ASSERT_EQ(0, dmMessageInit("127.0.0.2"));
  const int before = openDescriptorCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    {
      DiagnosticCapture capture;
      {
        std::optional<NoNewDescriptors> limit;
        if (c.noDescriptors) limit.emplace();
        EXPECT_EQ(c.result, dmMessageInit(c.address));
        EXPECT_EQ(0, dmDisplay(1, 2));
      }
      EXPECT_EQ(c.diagnostic, diagnostics(capture));
    }
    EXPECT_EQ("!0,1,2", received(other_));
  }
  EXPECT_EQ(before, openDescriptorCount());
  ASSERT_EQ(0, dmMessageInit("127.0.0.1"));
  EXPECT_EQ(0, dmDisplayEraseToWhite(1));
  EXPECT_EQ("!3,1", received(loopback_));  // nothing else came here
}

}  // namespace
