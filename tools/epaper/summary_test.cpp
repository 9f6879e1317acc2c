// SPDX-License-Identifier: MIT
// What a run cost, as text and as JSON members, and its percentiles.
#include "summary.h"

#include <gtest/gtest.h>

#include "flashCadence.h"

namespace zodm::model {
namespace {

constexpr Micros kMs = 1000;

TEST(Summary, Text) {
  Summary s;
  s.updates = 3;
  s.merged = 1;
  s.collisions = 1;
  s.waited = 440 * kMs;
  s.flashes = 1;
  s.busy = 900 * kMs;
  s.run = 1800 * kMs;
  s.p50 = 450 * kMs;
  s.p95 = 890500;
  s.max = 890500;
  s.residueMax = 26;
  s.residueX = 10;
  s.residueY = 20;
  EXPECT_EQ(
      "panel: 3 updates (1 merged), 1 collision, waited 440 ms, 1 flash, "
      "busy 900 ms of 1800 ms (50%), latency p50 450 ms, p95 890.5 ms, max "
      "890.5 ms, largest residue 26 at (10,20)",
      describeSummary(s));
  EXPECT_EQ(
      "\"updates\":3,\"merged\":1,\"collisions\":1,\"waited_ms\":440,"
      "\"flashes\":1,\"busy_ms\":900,\"run_ms\":1800,\"latency_ms\":{\"p50\":"
      "450,\"p95\":890.5,\"max\":890.5},\"residue_max\":26,\"residue_at\":[10,"
      "20]",
      summaryJson(s));
}

TEST(Summary, Milliseconds) {
  const struct {
    Micros micros;
    const char* text;
  } kCases[] = {
      {0, "0"},     {890000, "890"}, {365500, "365.5"},      {125, "0.125"},
      {1, "0.001"}, {-2500, "-2.5"}, {3600000000, "3600000"}};
  for (const auto& c : kCases) EXPECT_EQ(c.text, milliseconds(c.micros));
}

// flash_every = 6 over 12 partials flashes the 6th and the 12th; a flash of
// its own (a full update) starts the count again.
TEST(FlashCadence, EveryNthPartialFlashes) {
  const struct {
    int every;
    const char* updates;  // p: partial, f: flashing full update
    const char* flashed;  // 1: carried out flashing
  } kCases[] = {
      {6, "pppppppppppp", "000001000001"},
      {0, "pppppp", "000000"},
      {3, "ppfppp", "001001"},
      {1, "ppp", "111"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.updates);
    FlashCadence cadence(c.every);
    std::string flashed;
    for (const char* u = c.updates; *u != '\0'; ++u)
      flashed += cadence.next(*u == 'p', *u == 'f') ? '1' : '0';
    EXPECT_EQ(c.flashed, flashed);
  }
}

}  // namespace
}  // namespace zodm::model
