// SPDX-License-Identifier: MIT
// Request texts written by dmMessageFramer, and the service port.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "testSupport.h"
#include "zodm.h"

namespace {

using namespace zodm::test;

constexpr int32_t kMin = INT32_MIN;
constexpr int32_t kMax = INT32_MAX;

// Frames command into a '#'-filled heap buffer of exactly DM_FRAME_SIZE
// bytes: AddressSanitizer catches writes past it, a missing NUL shows as '#'.
std::string frame(const DmCommand& command) {
  const auto buffer = std::make_unique<char[]>(DM_FRAME_SIZE);
  std::memset(buffer.get(), '#', DM_FRAME_SIZE);
  dmMessageFramer(buffer.get(), &command);
  return std::string(buffer.get(), strnlen(buffer.get(), DM_FRAME_SIZE));
}

// Each field reads exactly as "%d" writes it: digit-count boundaries, signs
// and both ends of the 32-bit range, in every position of every form. Fields
// a code does not use are set, and must not be written.
TEST(MessageFramer, WritesTheFieldsOfEachCodeAsPrintfDoes) {
  EXPECT_EQ("!3,1", frame({3, 1, 2, 3, 4, 5, 6}));
  // The longest text, 74 characters: its NUL fills the buffer.
  const std::string kLongest(
      "!1,-2147483648,-2147483648,-2147483648,-2147483648,-2147483648,"
      "-2147483648");
  EXPECT_EQ(74u, kLongest.size());
  EXPECT_EQ(kLongest, frame({1, kMin, kMin, kMin, kMin, kMin, kMin}));

  std::vector<int32_t> values{0, kMin, kMin + 1, kMax, kMax - 1};
  for (int32_t power = 1;; power *= 10) {
    for (const int32_t v : {power - 1, power, power + 1})
      values.insert(values.end(), {v, -v});
    if (power == 1000000000) break;
  }
  const auto diagnostics = diagnosticsOf([&] {
    const std::size_t n = values.size();
    for (std::size_t i = 0; i < n; ++i) {
      const auto at = [&](std::size_t k) { return values[(i + k) % n]; };
      SCOPED_TRACE(at(0));
      std::array<char, 128> expected;
      std::snprintf(expected.data(), expected.size(), "!0,%d,%d", at(0), at(1));
      EXPECT_EQ(expected.data(), frame({0, at(0), at(1), 1, 2, 3, 4}));
      std::snprintf(expected.data(), expected.size(), "!1,%d,%d,%d,%d,%d,%d",
                    at(0), at(1), at(2), at(3), at(4), at(5));
      EXPECT_EQ(expected.data(),
                frame({1, at(0), at(1), at(2), at(3), at(4), at(5)}));
      std::snprintf(expected.data(), expected.size(), "!3,%d", at(0));
      EXPECT_EQ(expected.data(), frame({3, at(0), at(1), 1, 2, 3, 4}));
    }
  });
  EXPECT_EQ(Lines{}, diagnostics);
}

TEST(MessageFramer, RefusesCodesItCannotWrite) {
  for (const int32_t code : {2, 4, -1, kMin, kMax}) {
    SCOPED_TRACE(code);
    std::array<char, 16> buffer;
    buffer.fill('#');
    const DmCommand command{code, 1, 1, 0, 0, 10, 10};
    EXPECT_EQ(Lines{error(
                  "zodm", "dmMessageFramer",
                  "Command Code " + std::to_string(code) + " not supported\n")},
              diagnosticsOf([&] { dmMessageFramer(buffer.data(), &command); }));
    EXPECT_EQ(0, std::memcmp(buffer.data(), "error", 6));
  }
}

TEST(ServerPort, StoresTheServicePort) {
  int32_t port = -1;
  EXPECT_EQ(0, dmGetServerPort(&port));
  EXPECT_EQ(50555, port);
}

}  // namespace
