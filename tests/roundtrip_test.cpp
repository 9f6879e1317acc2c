// End to end through real sockets: client request calls (or a raw datagram)
// into the socket initServer binds, then through dmMessageParser.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "testSupport.h"
#include "zodm.h"

namespace {

using zodm::test::DiagnosticCapture;
using zodm::test::withoutLineNumbers;

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// Distinct values the requests below never carry, so fields a code does not
// carry can be seen to stay untouched.
constexpr DmCommand kSentinel{-7, -101, -102, -103, -104, -105, -106};

std::array<int32_t, 7> fields(const DmCommand& c) {
  return {c.code, c.priority, c.quality, c.xUp, c.yUp, c.xDown, c.yDown};
}

// kSentinel with code set and the leading value fields replaced by values.
std::array<int32_t, 7> with(int32_t code, std::vector<int32_t> values) {
  std::array<int32_t, 7> f = fields(kSentinel);
  f[0] = code;
  std::copy(values.begin(), values.end(), f.begin() + 1);
  return f;
}

// What dmMessageParser writes when validation refuses a request.
std::string refusedWith(const std::string& message) {
  return "(E)zodmServer:#,dmValidateCommand() " + message +
         "(E)zodmServer:#,dmMessageParser() dmValidateCommand failed with "
         "errorcode -1\n";
}

class RoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    DiagnosticCapture quiet;  // initServer reports a successful bind
    ASSERT_EQ(0, initServer(&server_, 1));
  }
  void TearDown() override {
    if (server_ >= 0) close(server_);
  }

  // Receives the next request as a display service does and hands it,
  // NUL-terminated, to dmMessageParser. A lost datagram fails the test after
  // a while instead of hanging it.
  void receiveAndParse(int32_t result, const std::array<int32_t, 7>& expected,
                       const std::string& diagnostics) {
    pollfd ready{server_, POLLIN, 0};
    ASSERT_EQ(1, poll(&ready, 1, 5000)) << "no datagram arrived";
    std::array<char, 65536> buffer;
    const ssize_t n = recv(server_, buffer.data(), buffer.size() - 1, 0);
    ASSERT_GE(n, 0);
    buffer[static_cast<std::size_t>(n)] = '\0';

    DmCommand command = kSentinel;
    DiagnosticCapture capture;
    EXPECT_EQ(result, dmMessageParser(buffer.data(), &command));
    EXPECT_EQ(expected, fields(command));
    EXPECT_EQ(diagnostics, withoutLineNumbers(capture.stderrText()));
  }

  int32_t server_ = -1;
};

TEST_F(RoundTrip, ClientRequestsArriveWithTheirValuesOrAreRefused) {
  enum class Call { Display, Partial, Erase };
  const std::string kNames[] = {"dmDisplay", "dmDisplayPartial",
                                "dmDisplayEraseToWhite"};
  const struct {
    Call call;
    std::array<int32_t, 6> v;
    const char* refusal;  // nullptr when the service accepts the request
  } kCases[] = {
      {Call::Display, {0, 0}, nullptr},
      {Call::Display, {3, 3}, nullptr},
      {Call::Display, {1, 2}, nullptr},
      {Call::Display, {4, 0}, "priority out of range (4)\n"},
      {Call::Display, {0, 4}, "quality out of range (4)\n"},
      {Call::Display, {-1, 0}, "priority out of range (-1)\n"},
      {Call::Display, {7, 9}, "priority out of range (7)\n"},
      {Call::Display, {kMin, 0}, "priority out of range (-2147483648)\n"},
      {Call::Display, {0, kMax}, "quality out of range (2147483647)\n"},
      {Call::Partial, {1, 1, 0, 0, 768, 1024}, nullptr},
      {Call::Partial, {3, 3, 768, 1024, 0, 0}, nullptr},
      {Call::Partial, {2, 1, 100, 200, 50, 100}, nullptr},
      {Call::Partial, {0, 0, 769, 0, 10, 10}, "Invalid coordinate xUp (769)\n"},
      {Call::Partial, {0, 0, -1, 0, 10, 10}, "Invalid coordinate xUp (-1)\n"},
      {Call::Partial,
       {0, 0, 0, 0, 769, 10},
       "Invalid coordinate xDown (769)\n"},
      {Call::Partial,
       {0, 0, 0, 1025, 10, 10},
       "Invalid coordinate yUp (1025)\n"},
      {Call::Partial,
       {0, 0, 0, 0, 10, 1025},
       "Invalid coordinate yDown (1025)\n"},
      {Call::Partial,
       {0, 0, 10, 10, 10, 20},
       "Trying to do a partial update of a line (10,10):(10,20)\n"},
      {Call::Partial, {4, 0, 0, 0, 10, 10}, "priority out of range (4)\n"},
      {Call::Partial, {0, 4, 0, 0, 10, 10}, "quality out of range (4)\n"},
      // The longest request text the client writes.
      {Call::Partial,
       {kMin, kMin, kMin, kMin, kMin, kMin},
       "Invalid coordinate xUp (-2147483648)\n"},
      {Call::Erase, {0}, nullptr},
      {Call::Erase, {3}, nullptr},
      {Call::Erase, {4}, "priority out of range (4)\n"},
      {Call::Erase, {-1}, "priority out of range (-1)\n"},
      {Call::Erase, {kMax}, "priority out of range (2147483647)\n"},
  };
  for (const auto& c : kCases) {
    const auto& v = c.v;
    SCOPED_TRACE(kNames[static_cast<std::size_t>(c.call)] +
                 testing::PrintToString(v));
    std::array<int32_t, 7> expected;
    switch (c.call) {
      case Call::Display:
        EXPECT_EQ(0, dmDisplay(v[0], v[1]));
        expected = with(DM_CMD_DISPLAY, {v[0], v[1]});
        break;
      case Call::Partial:
        EXPECT_EQ(0, dmDisplayPartial(v[0], v[1], v[2], v[3], v[4], v[5]));
        expected = with(DM_CMD_DISPLAY_PARTIAL, {v.begin(), v.end()});
        break;
      case Call::Erase:
        EXPECT_EQ(0, dmDisplayEraseToWhite(v[0]));
        expected = with(DM_CMD_ERASE_TO_WHITE, {v[0]});
        break;
    }
    receiveAndParse(c.refusal ? -1 : 0, expected,
                    c.refusal ? refusedWith(c.refusal) : "");
  }
}

TEST_F(RoundTrip, RawDatagramsWithSymbolicTokens) {
  const struct {
    const char* text;
    int32_t result;
    std::array<int32_t, 7> expected;
    std::string diagnostics;
  } kCases[] = {
      {"!dmDisplayPartial,1,1,0,0,10,10", 0, with(1, {1, 1, 0, 0, 10, 10}), ""},
      {"!dmDisplay,3,0", 0, with(0, {3, 0}), ""},
      {"!dmEraseToWhite,2", 0, with(3, {2}), ""},
      {"!dmDump,5", 0, with(2, {5}),
       "(W)zodmServer:#,dmValidateCommand() Dump command not yet validated\n"},
      {"!dmDisplayPartial,0,0,0,0,769,10", -1, with(1, {0, 0, 0, 0, 769, 10}),
       refusedWith("Invalid coordinate xDown (769)\n")},
  };
  const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sender, 0);
  sockaddr_in service{};
  service.sin_family = AF_INET;
  service.sin_port = htons(DM_SERVER_PORT);
  service.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const std::string text = c.text;  // sent without a terminating NUL
    EXPECT_EQ(
        static_cast<ssize_t>(text.size()),
        sendto(sender, text.data(), text.size(), 0,
               reinterpret_cast<const sockaddr*>(&service), sizeof service));
    receiveAndParse(c.result, c.expected, c.diagnostics);
  }
  close(sender);
}

}  // namespace
