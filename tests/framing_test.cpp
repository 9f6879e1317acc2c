// Request texts written by dmMessageFramer, and the service port.
#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "testSupport.h"
#include "zodm.h"

namespace {

using zodm::test::DiagnosticCapture;
using zodm::test::SyslogEntry;
using zodm::test::withoutLineNumbers;

constexpr int32_t kMin = INT32_MIN;
constexpr int32_t kMax = INT32_MAX;

// Frames command into a heap buffer of exactly DM_FRAME_SIZE bytes, so that
// AddressSanitizer catches any write past the size callers must supply.
std::string frame(const DmCommand& command) {
  const auto buffer = std::make_unique<char[]>(DM_FRAME_SIZE);
  std::memset(buffer.get(), '#', DM_FRAME_SIZE);
  dmMessageFramer(buffer.get(), &command);
  return std::string(buffer.get(), strnlen(buffer.get(), DM_FRAME_SIZE));
}

TEST(MessageFramer, WritesTheFieldsOfEachCode) {
  const struct {
    DmCommand command;
    const char* text;
  } kCases[] = {
      {{0, 1, 2, 0, 0, 0, 0}, "!0,1,2"},
      {{0, -1, 7, 0, 0, 0, 0}, "!0,-1,7"},  // levels are not checked
      {{0, kMin, kMax, 0, 0, 0, 0}, "!0,-2147483648,2147483647"},
      {{0, 1, 2, 3, 4, 5, 6}, "!0,1,2"},  // rectangle not written
      {{1, 2, 1, 0, 0, 100, 200}, "!1,2,1,0,0,100,200"},
      {{1, 1, 1, 0, 0, 768, 1024}, "!1,1,1,0,0,768,1024"},
      {{1, 9, -3, -1, 769, 1025, -100000}, "!1,9,-3,-1,769,1025,-100000"},
      {{1, kMax, kMax, kMax, kMax, kMax, kMax},
       "!1,2147483647,2147483647,2147483647,2147483647,2147483647,2147483647"},
      {{3, 3, 0, 0, 0, 0, 0}, "!3,3"},
      {{3, 1, 2, 3, 4, 5, 6}, "!3,1"},  // only the priority is written
      {{3, kMin, 0, 0, 0, 0, 0}, "!3,-2147483648"},
      {{3, 0, 0, 0, 0, 0, 0}, "!3,0"},
  };
  DiagnosticCapture capture;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.text, frame(c.command));
  }
  EXPECT_EQ("", capture.stderrText());
  EXPECT_TRUE(capture.syslog().empty());
}

// The longest request text, with its NUL, fills the whole frame size.
TEST(MessageFramer, LongestTextFitsTheFrameSize) {
  const DmCommand command{1, kMin, kMin, kMin, kMin, kMin, kMin};
  std::string expected = "!1";
  for (int i = 0; i < 6; ++i) expected += ",-2147483648";
  EXPECT_EQ(expected, frame(command));
  EXPECT_EQ(74u, expected.size());
}

TEST(MessageFramer, RefusesCodesItCannotWrite) {
  for (const int32_t code : {2, 4, -1, 5, 99, kMin, kMax}) {
    SCOPED_TRACE(code);
    std::array<char, 16> buffer;
    buffer.fill('#');
    const DmCommand command{code, 1, 1, 0, 0, 10, 10};
    DiagnosticCapture capture;
    dmMessageFramer(buffer.data(), &command);
    EXPECT_EQ(0, std::memcmp(buffer.data(), "error", 6));
    const std::string text = capture.stderrText();
    EXPECT_EQ("(E)zodm:#,dmMessageFramer() Command Code " +
                  std::to_string(code) + " not supported\n",
              withoutLineNumbers(text));
    EXPECT_EQ(std::vector<SyslogEntry>({{LOG_ERR, text}}), capture.syslog());
  }
}

// Every field must read exactly as "%d" writes it: digit-count boundaries,
// signs and both ends of the 32-bit range, in every position of every form.
TEST(MessageFramer, FieldsMatchPrintf) {
  std::vector<int32_t> values{0, kMin, kMin + 1, kMax, kMax - 1};
  for (int32_t power = 1;; power *= 10) {
    for (const int32_t v : {power - 1, power, power + 1})
      values.insert(values.end(), {v, -v});
    if (power == 1000000000) break;
  }
  const std::size_t n = values.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto at = [&](std::size_t k) { return values[(i + k) % n]; };
    const DmCommand command{0, at(0), at(1), at(2), at(3), at(4), at(5)};
    std::array<char, 128> expected;
    SCOPED_TRACE(at(0));

    std::snprintf(expected.data(), expected.size(), "!%d,%d,%d", 0, at(0),
                  at(1));
    EXPECT_EQ(expected.data(), frame(command));

    DmCommand partial = command;
    partial.code = 1;
    std::snprintf(expected.data(), expected.size(), "!%d,%d,%d,%d,%d,%d,%d", 1,
                  at(0), at(1), at(2), at(3), at(4), at(5));
    EXPECT_EQ(expected.data(), frame(partial));

    DmCommand erase = command;
    erase.code = 3;
    std::snprintf(expected.data(), expected.size(), "!%d,%d", 3, at(0));
    EXPECT_EQ(expected.data(), frame(erase));
  }
}

TEST(ServerPort, StoresTheServicePort) {
  int32_t port = -1;
  EXPECT_EQ(0, dmGetServerPort(&port));
  EXPECT_EQ(50555, port);
  EXPECT_EQ(DM_SERVER_PORT, port);
}

}  // namespace
