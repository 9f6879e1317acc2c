// SPDX-License-Identifier: MIT
// --compare's table and JSON lines from known costs, and one recording's
// costs under two profiles.
#include "comparison.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zodm::screen {
namespace {

constexpr model::Micros kMs = 1000;

TEST(Comparison, TableHasAColumnPerProfile) {
  model::Summary a;
  a.updates = 12;
  a.flashes = 0;
  a.busy = 1440 * kMs;
  a.run = 2880 * kMs;
  a.p50 = a.p95 = a.max = 120 * kMs;
  a.byQuality[0] = {12, 120 * kMs, 120 * kMs, 120 * kMs};
  a.residueMax = 64;
  a.residueArea = 121;
  model::Summary b = a;
  b.flashes = 2;
  b.busy = 1600 * kMs;
  b.max = b.byQuality[0].max = 200 * kMs;
  b.run = 12000 * kMs;
  b.residueMax = 61;
  EXPECT_EQ(
      "               built-in  every6.toml\n"
      "updates              12           12\n"
      "merged                0            0\n"
      "collisions            0            0\n"
      "waited             0 ms         0 ms\n"
      "flashes               0            2\n"
      "busy share          50%          13%\n"
      "latency p50      120 ms       120 ms\n"
      "latency p95      120 ms       120 ms\n"
      "latency max      120 ms       200 ms\n"
      "quality 0 p50    120 ms       120 ms\n"
      "quality 0 p95    120 ms       120 ms\n"
      "quality 0 max    120 ms       200 ms\n"
      "residue max          64           61\n"
      "residue area     121 px       121 px\n",
      comparisonTable({"built-in", "every6.toml"}, {a, b}));
  const std::string json = comparisonJson({"built-in", "a\"b"}, {a, b});
  EXPECT_EQ(0U,
            json.find("{\"profile\":\"built-in\",\"panel\":{\"updates\":12,"));
  EXPECT_NE(
      std::string::npos,
      json.find("}}\n{\"profile\":\"a\\\"b\",\"panel\":{\"updates\":12,"));
  EXPECT_EQ(json.size() - 1, json.rfind('\n'));
}

// Twelve A2 partials over one key, 200 ms apart, under the built-in
// profile and with flash_every = 6: the 6th and the 12th flash (A2: 80 ms
// more).
TEST(Comparison, OneRecordingUnderTwoProfiles) {
  std::vector<Arrival> arrivals;
  for (int i = 0; i < 12; ++i)
    arrivals.push_back({i * 200 * kMs,
                        {DM_CMD_DISPLAY_PARTIAL, 0, 0, 10, 10, 50, 70},
                        static_cast<std::size_t>(i)});
  model::Profile every6 = model::defaultProfile();
  every6.flashEvery = 6;
  const model::Summary plain =
      replayCost(arrivals, 2200 * kMs, model::defaultProfile(), nullptr);
  const model::Summary flashing =
      replayCost(arrivals, 2200 * kMs, every6, nullptr);
  EXPECT_EQ(0U, plain.flashes);
  EXPECT_EQ(2U, flashing.flashes);
  EXPECT_EQ(12 * 120 * kMs, plain.busy);
  EXPECT_EQ(10 * 120 * kMs + 2 * 200 * kMs, flashing.busy);
  EXPECT_EQ(200 * kMs, flashing.byQuality[0].max);
  EXPECT_EQ(12U, flashing.byKind[1].requests);
}

}  // namespace
}  // namespace zodm::screen
