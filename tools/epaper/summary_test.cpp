// SPDX-License-Identifier: MIT
// What a run cost, as text and as JSON members, and its percentiles.
#include "summary.h"

#include <gtest/gtest.h>

#include <string>

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
      "890.5 ms, largest residue 26 at (10,20), no pixel with a residue of 16 "
      "or more",
      describeSummary(s));
  const char* kNoGroups =
      "{\"requests\":0,\"p50_ms\":0,\"p95_ms\":0,\"max_ms\":0}";
  EXPECT_EQ(
      std::string(
          "\"updates\":3,\"merged\":1,\"collisions\":1,\"waited_ms\":440,"
          "\"flashes\":1,\"busy_ms\":900,\"run_ms\":1800,\"latency_ms\":{"
          "\"p50\":450,\"p95\":890.5,\"max\":890.5},\"residue_max\":26,"
          "\"residue_at\":[10,20],\"residue_area\":0,\"residue_threshold\":16,"
          "\"latency_by_quality\":{\"0\":") +
          kNoGroups + ",\"1\":" + kNoGroups + ",\"2\":" + kNoGroups +
          ",\"3\":" + kNoGroups +
          "},\"latency_by_kind\":{\"full\":" + kNoGroups +
          ",\"partial\":" + kNoGroups + ",\"erase\":" + kNoGroups + "}",
      summaryJson(s));
}

// A long run: seconds in the text, milliseconds in JSON; the residue's
// area and the latency groups that had requests.
TEST(Summary, LongRunGroupsAndArea) {
  Summary s;
  s.updates = 212;
  s.flashes = 4;
  s.waited = 1200 * kMs;
  s.busy = 60100 * kMs;
  s.run = 174000311;
  s.p50 = 120 * kMs;
  s.p95 = 650 * kMs;
  s.max = 12345678;
  s.residueMax = 61;
  s.residueX = 3;
  s.residueY = 4;
  s.residueArea = 1200;
  s.residueX0 = 0;
  s.residueY0 = 4;
  s.residueX1 = 99;
  s.residueY1 = 15;
  s.byQuality[0] = {180, 120 * kMs, 240 * kMs, 300 * kMs};
  s.byQuality[3] = {1, 450 * kMs, 450 * kMs, 450 * kMs};
  s.byKind[1] = {181, 120 * kMs, 240 * kMs, 12345678};
  EXPECT_EQ(
      "panel: 212 updates (0 merged), 0 collisions, waited 1200 ms, 4 "
      "flashes, busy 60.100 s of 174.000 s (35%), latency p50 120 ms, p95 650 "
      "ms, max 12.346 s, largest residue 61 at (3,4), 1200 pixels with a "
      "residue of 16 or more, in (0,4)-(99,15); latency of quality 0: p50 120 "
      "ms, p95 240 ms, max 300 ms (180 requests); of quality 3: p50 450 ms, "
      "p95 450 ms, max 450 ms (1 request); of partial updates: p50 120 ms, p95 "
      "240 ms, max 12.346 s (181 requests)",
      describeSummary(s));
  const std::string json = summaryJson(s);
  for (const char* member :
       {"\"run_ms\":174000.311,", "\"max\":12345.678}",
        "\"residue_area\":1200,\"residue_threshold\":16,\"residue_box\":[0,"
        "4,99,15]",
        "\"latency_by_quality\":{\"0\":{\"requests\":180,\"p50_ms\":120,"
        "\"p95_ms\":240,\"max_ms\":300},",
        "\"partial\":{\"requests\":181,\"p50_ms\":120,\"p95_ms\":240,"
        "\"max_ms\":12345.678}"})
    EXPECT_NE(std::string::npos, json.find(member)) << member;
}

TEST(Summary, DurationText) {
  const struct {
    Micros micros;
    const char* text;
  } kCases[] = {
      {0, "0 ms"},
      {2717173, "2717.173 ms"},
      {9999999, "9999.999 ms"},
      {10000000, "10.000 s"},
      {174000311, "174.000 s"},
      {174000500, "174.001 s"},
      {-12000000, "-12.000 s"},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.text, durationText(c.micros));
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
