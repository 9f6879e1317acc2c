// SPDX-License-Identifier: MIT
// The e-paper model with exact times: tables of (arrival, request) and what
// the panel makes of them, with the built-in profile (A2 120 ms, DU 260 ms,
// GL16 and GC16 450 ms; a full update GC16 flashing, 450 + 200 ms).
#include "model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace zodm::model {
namespace {

constexpr Micros kMs = 1000;

DmCommand partial(int x0, int y0, int x1, int y1, int quality,
                  int priority = 0) {
  return {DM_CMD_DISPLAY_PARTIAL, priority, quality, x0, y0, x1, y1};
}
constexpr DmCommand kFull{DM_CMD_DISPLAY, 0, 0, 0, 0, 0, 0};
constexpr DmCommand kErase{DM_CMD_ERASE_TO_WHITE, 0, 0, 0, 0, 0, 0};

// A framebuffer in memory.
class Plane final : public Source {
 public:
  Plane()
      : pixels(static_cast<std::size_t>(geometry::kWidth) * geometry::kHeight,
               255) {}
  void copy(const Rect& r, uint8_t* plane) override {
    for (int y = r.y0; y <= r.y1; ++y)
      for (int x = r.x0; x <= r.x1; ++x)
        plane[index(x, y)] = pixels[index(x, y)];
  }
  void fill(int x0, int y0, int x1, int y1, uint8_t gray) {
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) pixels[index(x, y)] = gray;
  }
  static std::size_t index(int x, int y) {
    return static_cast<std::size_t>(y) * geometry::kWidth +
           static_cast<std::size_t>(x);
  }
  std::vector<uint8_t> pixels;
};

struct Arrival {
  Micros at;
  DmCommand command;
};

struct Expected {
  unsigned long long updates, merged, collisions, flashes;
  Micros waited, busy, max;  // max: the largest latency
};

TEST(Model, TimesCollisionsAndMerges) {
  const struct {
    const char* name;
    std::vector<Arrival> arrivals;
    Expected expected;
  } kCases[] = {
      // The second waits for the first: 440 ms, then its own 450.
      {"overlapping GC16 partials 10 ms apart",
       {{0, partial(0, 0, 100, 100, 3)},
        {10 * kMs, partial(50, 50, 150, 150, 3)}},
       {2, 0, 1, 0, 440 * kMs, 900 * kMs, 890 * kMs}},
      {"disjoint GC16 partials run at once",
       {{0, partial(0, 0, 100, 100, 3)},
        {10 * kMs, partial(200, 200, 300, 300, 3)}},
       {2, 0, 0, 0, 0, 460 * kMs, 450 * kMs}},
      // The second and third both wait for the first and merge: one update
      // of their box, which then runs once.
      {"waiting updates merge",
       {{0, partial(0, 0, 100, 100, 0)},
        {1 * kMs, partial(50, 50, 120, 120, 0)},
        {2 * kMs, partial(121, 60, 200, 90, 0)}},
       {2, 1, 1, 0, 119 * kMs, 240 * kMs, 239 * kMs}},
      // A partial waiting behind a full update, then another full update:
      // the waiting two merge and the merge flashes (450 + 200 ms).
      {"a flash and a non-flash merged flash",
       {{0, kFull}, {5 * kMs, partial(0, 0, 10, 10, 0)}, {6 * kMs, kFull}},
       {2, 1, 2, 2, 645 * kMs, 1300 * kMs, 1295 * kMs}},
      // Stronger waveform wins a merge: A2 and GL16 waiting become GL16.
      {"differing waveforms merge to the stronger",
       {{0, partial(0, 0, 300, 300, 3)},
        {1 * kMs, partial(0, 0, 10, 10, 0)},
        {2 * kMs, partial(5, 5, 20, 20, 2)}},
       {2, 1, 2, 0, 449 * kMs, 900 * kMs, 899 * kMs}},
      {"dumps refresh nothing",
       {{0, {DM_CMD_DUMP, 7, 0, 0, 0, 0, 0}}},
       {0, 0, 0, 0, 0, 0, 0}},
      // An erase flashes like a full update; a partial after it waits.
      {"an erase and a partial keep their order",
       {{0, partial(0, 0, 10, 10, 0)},
        {1 * kMs, kErase},
        {2 * kMs, partial(0, 0, 10, 10, 0)}},
       {3, 0, 2, 1, 119 * kMs + 768 * kMs, 120 * kMs + 650 * kMs + 120 * kMs,
        888 * kMs}},
  };
  const Profile profile = defaultProfile();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Model model(profile, nullptr);
    for (const Arrival& a : c.arrivals) model.submit(a.at, a.command);
    model.finish(c.arrivals.back().at);
    const Summary s = model.summary();
    EXPECT_EQ(c.expected.updates, s.updates);
    EXPECT_EQ(c.expected.merged, s.merged);
    EXPECT_EQ(c.expected.collisions, s.collisions);
    EXPECT_EQ(c.expected.flashes, s.flashes);
    EXPECT_EQ(c.expected.waited, s.waited);
    EXPECT_EQ(c.expected.busy, s.busy);
    EXPECT_EQ(c.expected.max, s.max);
    EXPECT_EQ(0U, model.running() + model.waiting());
  }
}

TEST(Model, ConcurrencyLimitAndPriority) {
  Profile profile = defaultProfile();
  profile.concurrent = 1;
  const struct {
    PriorityOrder order;
    std::vector<Micros> latencies;  // in order of arrival
  } kCases[] = {
      {PriorityOrder::Ignored, {120 * kMs, 240 * kMs, 360 * kMs, 480 * kMs}},
      // The last, of priority 3, goes first once the slot frees.
      {PriorityOrder::HighestFirst,
       {120 * kMs, 360 * kMs, 480 * kMs, 240 * kMs}},
      {PriorityOrder::LowestFirst,
       {120 * kMs, 240 * kMs, 360 * kMs, 480 * kMs}},
  };
  for (const auto& c : kCases) {
    profile.priority = c.order;
    Model model(profile, nullptr);
    // Disjoint: they wait for the slot, not for each other.
    for (int i = 0; i < 4; ++i)
      model.submit(0, partial(i * 100, 0, i * 100 + 10, 10, 0, i == 3 ? 3 : 0));
    EXPECT_EQ(1U, model.running());
    model.finish(0);
    EXPECT_EQ(0U, model.summary().collisions);
    const auto& h = model.history();
    ASSERT_EQ(c.latencies.size(), h.size());
    for (std::size_t i = 0; i < h.size(); ++i)
      EXPECT_EQ(c.latencies[i], h[i].end - h[i].arrival) << i;
  }
}

// Each update of a run, pinned: (arrival, request) rows in, and for every
// update its start, end, waveform, flash and what it merged into, with
// nextEvent() right after the last arrival and after finish(). Built-in
// profile: A2 120 ms, GL16 450, GC16 450 (+200 flashing), erase GC16
// flashing.
struct Pinned {
  unsigned long long id;
  Micros start, end;  // -1: merged before it ran
  const char* waveform;
  bool flash;
  unsigned long long mergedInto;
};

const struct {
  const char* name;
  std::vector<Arrival> arrivals;
  std::optional<Micros> next;  // nextEvent() after the last arrival
  unsigned long long collisions;
  std::vector<Pinned> updates;
} kPinnedRuns[] = {
    {"overlapping GC16 partials: the second waits 440 ms",
     {{0, partial(0, 0, 100, 100, 3)},
      {10 * kMs, partial(50, 50, 150, 150, 3)}},
     450 * kMs,
     1,
     {{1, 0, 450 * kMs, "GC16", false, 0},
      {2, 450 * kMs, 900 * kMs, "GC16", false, 0}}},
    // Inclusive corners: column 100 belongs to both.
    {"sharing only the edge column is overlapping",
     {{0, partial(0, 0, 100, 100, 0)}, {1 * kMs, partial(100, 0, 200, 100, 0)}},
     120 * kMs,
     1,
     {{1, 0, 120 * kMs, "A2", false, 0},
      {2, 120 * kMs, 240 * kMs, "A2", false, 0}}},
    // Touching a running update is no collision; the earliest end is next.
    {"touching a running update runs at once",
     {{0, partial(0, 0, 100, 100, 0)}, {1 * kMs, partial(101, 0, 200, 100, 0)}},
     120 * kMs,
     0,
     {{1, 0, 120 * kMs, "A2", false, 0},
      {2, 1 * kMs, 121 * kMs, "A2", false, 0}}},
    {"the earliest of two running ends comes next",
     {{0, partial(0, 0, 100, 100, 3)}, {1 * kMs, partial(200, 0, 300, 100, 0)}},
     121 * kMs,
     0,
     {{1, 0, 450 * kMs, "GC16", false, 0},
      {2, 1 * kMs, 121 * kMs, "A2", false, 0}}},
    // The third touches the waiting second (x 121 next to 120): merged.
    {"waiting updates that touch merge into the earlier",
     {{0, partial(0, 0, 100, 100, 0)},
      {1 * kMs, partial(50, 50, 120, 120, 0)},
      {2 * kMs, partial(121, 60, 200, 90, 0)}},
     120 * kMs,
     1,
     {{1, 0, 120 * kMs, "A2", false, 0},
      {2, 120 * kMs, 240 * kMs, "A2", false, 0},
      {3, -1, -1, "A2", false, 2}}},
    {"a merge flashes if either does, with the stronger waveform",
     {{0, kFull}, {5 * kMs, partial(0, 0, 10, 10, 0)}, {6 * kMs, kFull}},
     650 * kMs,
     2,
     {{1, 0, 650 * kMs, "GC16", true, 0},
      {2, 650 * kMs, 1300 * kMs, "GC16", true, 0},
      {3, -1, -1, "GC16", true, 2}}},
    {"A2 and GL16 waiting merge to GL16",
     {{0, partial(0, 0, 300, 300, 3)},
      {1 * kMs, partial(0, 0, 10, 10, 0)},
      {2 * kMs, partial(5, 5, 20, 20, 2)}},
     450 * kMs,
     2,
     {{1, 0, 450 * kMs, "GC16", false, 0},
      {2, 450 * kMs, 900 * kMs, "GL16", false, 0},
      {3, -1, -1, "GL16", false, 2}}},
    // The partial after the erase neither merges with it nor passes it.
    {"an erase and the partials around it keep their order",
     {{0, partial(0, 0, 10, 10, 0)},
      {1 * kMs, kErase},
      {2 * kMs, partial(0, 0, 10, 10, 0)}},
     120 * kMs,
     2,
     {{1, 0, 120 * kMs, "A2", false, 0},
      {2, 120 * kMs, 770 * kMs, "GC16", true, 0},
      {3, 770 * kMs, 890 * kMs, "A2", false, 0}}},
    {"a dump is no update", {{0, {DM_CMD_DUMP, 7, 0, 0, 0, 0, 0}}}, {}, 0, {}},
};

TEST(Model, EachUpdatePinned) {
  const Profile profile = defaultProfile();
  for (const auto& c : kPinnedRuns) {
    SCOPED_TRACE(c.name);
    Model model(profile, nullptr);
    for (const Arrival& a : c.arrivals) model.submit(a.at, a.command);
    EXPECT_EQ(c.next, model.nextEvent());
    model.finish(c.arrivals.back().at);
    EXPECT_EQ(std::nullopt, model.nextEvent());
    EXPECT_EQ(c.collisions, model.summary().collisions);
    const auto& history = model.history();
    ASSERT_EQ(c.updates.size(), history.size());
    for (std::size_t i = 0; i < history.size(); ++i) {
      const Update& u = history[i];
      const Pinned& p = c.updates[i];
      SCOPED_TRACE(p.id);
      EXPECT_EQ(p.id, u.id);
      EXPECT_EQ(p.start, u.start);
      EXPECT_EQ(p.end, u.end);
      EXPECT_EQ(p.waveform, profile.waveform(u.waveform).name);
      EXPECT_EQ(p.flash, u.flash);
      EXPECT_EQ(p.mergedInto, u.mergedInto);
      EXPECT_EQ(State::Done, u.state);
    }
  }
}

// One slot: four disjoint A2 partials arriving together run one after the
// other, in the order the profile's priority says (priorities 2, 1, 0, 3).
TEST(Model, ConcurrencyLimitPinnedPerPriorityOrder) {
  const struct {
    PriorityOrder order;
    std::array<std::size_t, 4> startOrder;  // ids, by start
  } kCases[] = {
      {PriorityOrder::Ignored, {1, 2, 3, 4}},
      {PriorityOrder::HighestFirst, {1, 4, 2, 3}},
      {PriorityOrder::LowestFirst, {1, 3, 2, 4}},
  };
  const int priorities[] = {2, 1, 0, 3};
  for (const auto& c : kCases) {
    SCOPED_TRACE(static_cast<int>(c.order));
    Profile profile = defaultProfile();
    profile.concurrent = 1;
    profile.priority = c.order;
    Model model(profile, nullptr);
    for (int i = 0; i < 4; ++i)
      model.submit(0, partial(i * 100, 0, i * 100 + 10, 10, 0, priorities[i]));
    EXPECT_EQ(1U, model.running());
    EXPECT_EQ(3U, model.waiting());
    EXPECT_EQ(120 * kMs, model.nextEvent());
    model.finish(0);
    const auto& history = model.history();
    ASSERT_EQ(4U, history.size());
    for (std::size_t slot = 0; slot < 4; ++slot) {
      const Update& u = history[c.startOrder[slot] - 1];
      EXPECT_EQ(static_cast<Micros>(slot) * 120 * kMs, u.start) << u.id;
      EXPECT_EQ(static_cast<Micros>(slot + 1) * 120 * kMs, u.end) << u.id;
    }
    EXPECT_EQ(0U, model.summary().collisions);
  }
}

// What a reader that looked at a version has not seen: each update that
// changed since, once, as it stands, oldest first.
TEST(Model, ChangesSinceALook) {
  const struct {
    const char* what;
    Micros at;
    std::optional<DmCommand> request;  // none: time passes to at
    const char* changed;               // id and state of each, in order
  } kSteps[] = {
      {"an A2 pass starts", 0, partial(0, 0, 9, 9, 0), "1r"},
      {"one over it waits", 10 * kMs, partial(5, 5, 20, 20, 0), "2w"},
      {"one that touches it merges into it", 20 * kMs, partial(21, 5, 30, 5, 0),
       "2w 3d"},
      {"nothing happens", 30 * kMs, std::nullopt, ""},
      {"the pass ends, the waiting one starts", 120 * kMs, std::nullopt,
       "1d 2r"},
  };
  const Profile profile = defaultProfile();
  Model model(profile, nullptr);
  unsigned long long seen = 0;
  for (const auto& step : kSteps) {
    SCOPED_TRACE(step.what);
    if (step.request)
      model.submit(step.at, *step.request);
    else
      model.advance(step.at);
    std::string changed;
    model.changesSince(seen, [&](const Update& u) {
      if (!changed.empty()) changed += ' ';
      changed += std::to_string(u.id);
      changed += u.state == State::Waiting   ? 'w'
                 : u.state == State::Running ? 'r'
                                             : 'd';
    });
    EXPECT_EQ(step.changed, changed);
    seen = model.version();
  }
  // A first look, and one far behind: what the history still keeps.
  std::size_t all = 0;
  model.changesSince(0, [&](const Update&) { ++all; });
  EXPECT_EQ(3U, all);
  for (int i = 0; i < static_cast<int>(Model::kHistory); ++i)
    model.submit(200 * kMs + i, partial(i % 300 * 2, 100 + i / 300 * 2,
                                        i % 300 * 2, 100 + i / 300 * 2, 0));
  std::vector<unsigned long long> ids;
  model.changesSince(seen, [&](const Update& u) { ids.push_back(u.id); });
  ASSERT_EQ(Model::kHistory, ids.size());
  EXPECT_EQ(4U, ids.front());
  EXPECT_EQ(Model::kHistory + 3, ids.back());
}

// Nearest rank over 20 latencies of 120, 240, ... 2400 ms: p50 the 10th,
// p95 the 19th (the 90th percentile would be the 18th).
TEST(Model, LatencyPercentilesByNearestRank) {
  Profile profile = defaultProfile();
  profile.concurrent = 1;
  Model model(profile, nullptr);
  for (int i = 0; i < 20; ++i)
    model.submit(0, partial(i * 30, 0, i * 30 + 10, 10, 0));
  model.finish(0);
  const Summary s = model.summary();
  EXPECT_EQ(1200 * kMs, s.p50);
  EXPECT_EQ(2280 * kMs, s.p95);
  EXPECT_EQ(2400 * kMs, s.max);
  EXPECT_EQ(2400 * kMs, s.busy);
}

TEST(Model, PixelsLevelsAndResidue) {
  const Profile profile = defaultProfile();
  Plane framebuffer;
  // A gradient across the area.
  for (int x = 0; x < geometry::kWidth; ++x)
    framebuffer.fill(x, 0, x, 10, static_cast<uint8_t>(x * 255 / DM_MAX_X));
  Model model(profile, &framebuffer);
  model.submit(0, partial(0, 0, DM_MAX_X, 10, 0));  // A2: black and white
  model.finish(0);
  // White stays; black shows what it keeps of the white before it.
  std::vector<int> grays(256, 0);
  for (int x = 0; x < geometry::kWidth; ++x) grays[model.at(x, 5)] = 1;
  EXPECT_EQ(2, std::count(grays.begin(), grays.end(), 1));
  EXPECT_EQ(1, grays[255]);
  EXPECT_EQ(model.residue(0, 5), model.at(0, 5));

  // A full update (GC16, flashing: no residue) reaches 16 levels of it.
  model.submit(200 * kMs, kFull);
  model.finish(200 * kMs);
  std::fill(grays.begin(), grays.end(), 0);
  for (int x = 0; x < geometry::kWidth; ++x) grays[model.at(x, 5)] = 1;
  EXPECT_EQ(16, std::count(grays.begin(), grays.end(), 1));
}

TEST(Model, ResidueBuildsOverA2PassesAndAFlashClearsIt) {
  // A2 leaves 0.10 of a change and levels off at 0.25 of it.
  const Profile profile = defaultProfile();
  Plane framebuffer;
  Model model(profile, &framebuffer);
  // Black, white, black: three A2 passes of 255 steps each, each going
  // 0.4 of the way from the residue kept to 64 steps.
  const struct {
    uint8_t drawn;
    int residue;  // steps kept afterwards
    uint8_t shown;
  } kPasses[] = {{0, 26, 26}, {255, 41, 214}, {0, 50, 50}};
  Micros t = 0;
  for (const auto& pass : kPasses) {
    framebuffer.fill(10, 10, 20, 20, pass.drawn);
    model.submit(t, partial(10, 10, 20, 20, 0));
    t += 200 * kMs;
    model.advance(t);
    EXPECT_EQ(pass.residue, model.residue(15, 15));
    EXPECT_EQ(pass.shown, model.at(15, 15));
    EXPECT_EQ(255, model.at(21, 15));  // outside: untouched
  }
  EXPECT_EQ(50, model.summary().residueMax);
  EXPECT_EQ(10, model.summary().residueX);
  EXPECT_EQ(10, model.summary().residueY);
  // A full update flashes: the residue is gone, the level stays.
  model.submit(t, kFull);
  model.finish(t);
  EXPECT_EQ(0, model.summary().residueMax);
  EXPECT_EQ(0, model.at(15, 15));
  EXPECT_EQ(255, model.at(21, 15));
  // A snapshot at the start: drawing while the update runs shows later.
  framebuffer.fill(30, 30, 40, 40, 0);
  t += 700 * kMs;
  model.submit(t, partial(30, 30, 40, 40, 3));
  framebuffer.fill(30, 30, 40, 40, 255);
  model.finish(t);
  EXPECT_EQ(0, model.at(35, 35) - model.residue(35, 35));
}

// A square drawn black and white in turn, one A2 pass each, 200 ms apart:
// the residue levels off at a quarter of the change (64 steps, to the
// step), and a pixel never shows past what it showed before.
TEST(Model, ResidueLevelsOffWithinTheLimit) {
  const struct {
    int passes;
    uint8_t shown;  // after the last pass, which drew the square
    int residue;    // black after an odd count, white after an even one
  } kCases[] = {
      {3, 50, 50},
      {8, 192, 63},
      {50, 191, 64},
  };
  const Profile profile = defaultProfile();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.passes);
    Plane framebuffer;
    Model model(profile, &framebuffer);
    uint8_t before = 255;
    for (int i = 0; i < c.passes; ++i) {
      const uint8_t drawn = i % 2 == 0 ? 0 : 255;
      framebuffer.fill(10, 10, 20, 20, drawn);
      model.submit(i * 200 * kMs, partial(10, 10, 20, 20, 0));
      model.advance((i * 200 + 150) * kMs);
      const uint8_t shown = model.at(15, 15);
      EXPECT_LE(std::abs(shown - drawn), 64) << "pass " << i + 1;
      EXPECT_LE(std::abs(shown - drawn), std::abs(before - drawn))
          << "pass " << i + 1;
      before = shown;
    }
    EXPECT_EQ(c.shown, model.at(15, 15));
    EXPECT_EQ(c.residue, model.residue(15, 15));
    const Summary s = model.summary();
    EXPECT_EQ(c.residue, s.residueMax);
    EXPECT_EQ(121U, s.residueArea);  // 11 x 11, corners included
    EXPECT_EQ(10, s.residueX0);
    EXPECT_EQ(20, s.residueY1);
  }
}

// A gray key with a black glyph, pressed (inverted) and released with A2
// passes: the glyph keeps darker than the key's background (gray, which
// A2 shows white) however often it is pressed.
TEST(Model, AKeyPressedOftenKeepsItsGlyphDarker) {
  const struct {
    int presses;
    uint8_t background, glyph;  // released
  } kCases[] = {{1, 214, 26}, {3, 194, 59}, {8, 191, 64}};
  const Profile profile = defaultProfile();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.presses);
    Plane framebuffer;
    Model model(profile, &framebuffer);
    Micros t = 0;
    for (int press = 0; press < c.presses; ++press) {
      for (const bool down : {true, false}) {
        framebuffer.fill(0, 0, 59, 79, down ? 0 : 170);
        framebuffer.fill(20, 20, 39, 59, down ? 255 : 0);
        model.submit(t, partial(0, 0, 59, 79, 0));
        t += 200 * kMs;
        model.advance(t);
      }
      EXPECT_LT(model.at(30, 30), model.at(5, 5));
    }
    EXPECT_EQ(c.background, model.at(5, 5));
    EXPECT_EQ(c.glyph, model.at(30, 30));
  }
}

// flash_every: the Nth partial update carried out since the last flash
// flashes (A2: 120 ms, 200 flashing); a flash of its own (a full update)
// starts the count again, and requests merged into one update count once.
TEST(Model, FlashCadence) {
  const auto apart = [](const char* kinds) {
    std::vector<Arrival> out;
    Micros t = 0;
    for (const char* k = kinds; *k != '\0'; ++k, t += 700 * kMs)
      out.push_back({t, *k == 'f' ? kFull : partial(0, 0, 10, 10, 0)});
    return out;
  };
  const struct {
    const char* name;
    int every;
    std::vector<Arrival> arrivals;
    const char* flashed;  // per update, in order of id: 1 flashed
    Micros busy;
  } kCases[] = {
      {"12 partials, every 6", 6, apart("pppppppppppp"), "000001000001",
       10 * 120 * kMs + 2 * 200 * kMs},
      {"never", 0, apart("pppppp"), "000000", 6 * 120 * kMs},
      {"a full update starts the count again", 3, apart("ppfppp"), "001001",
       4 * 120 * kMs + 650 * kMs + 200 * kMs},
      // The second and third wait behind the first and merge: the second
      // update carried out flashes, the third (id 4) does not.
      {"merged requests count once",
       2,
       {{0, partial(0, 0, 10, 10, 0)},
        {1 * kMs, partial(0, 0, 10, 10, 0)},
        {2 * kMs, partial(0, 0, 10, 10, 0)},
        {700 * kMs, partial(0, 0, 10, 10, 0)}},
       "0100",
       120 * kMs + 200 * kMs + 120 * kMs},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Profile profile = defaultProfile();
    profile.flashEvery = c.every;
    Model model(profile, nullptr);
    for (const Arrival& a : c.arrivals) model.submit(a.at, a.command);
    model.finish(c.arrivals.back().at);
    std::string flashed;
    for (const Update& u : model.history()) flashed += u.flash ? '1' : '0';
    EXPECT_EQ(c.flashed, flashed);
    EXPECT_EQ(static_cast<unsigned long long>(
                  std::count(flashed.begin(), flashed.end(), '1')),
              model.summary().flashes);
    EXPECT_EQ(c.busy, model.summary().busy);
  }
}

// Latencies by quality level (full and partial updates) and by kind, one
// request each a second apart: A2 120 ms, GC16 partial 450, full update
// and erase 650.
TEST(Model, LatencyByQualityAndKind) {
  const std::vector<Arrival> arrivals = {
      {0, partial(0, 0, 10, 10, 0)}, {1000 * kMs, partial(0, 0, 10, 10, 3)},
      {2000 * kMs, kFull},  // quality 0
      {3000 * kMs, kErase},          {4000 * kMs, partial(0, 0, 10, 10, 0)},
  };
  const struct {
    const char* group;
    LatencyFigures want;
  } kGroups[] = {
      {"quality 0", {3, 120 * kMs, 650 * kMs, 650 * kMs}},
      {"quality 1", {0, 0, 0, 0}},
      {"quality 3", {1, 450 * kMs, 450 * kMs, 450 * kMs}},
      {"full", {1, 650 * kMs, 650 * kMs, 650 * kMs}},
      {"partial", {3, 120 * kMs, 450 * kMs, 450 * kMs}},
      {"erase", {1, 650 * kMs, 650 * kMs, 650 * kMs}},
  };
  Model model(defaultProfile(), nullptr);
  for (const Arrival& a : arrivals) model.submit(a.at, a.command);
  model.finish(arrivals.back().at);
  const Summary s = model.summary();
  const LatencyFigures got[] = {s.byQuality[0], s.byQuality[1], s.byQuality[3],
                                s.byKind[0],    s.byKind[1],    s.byKind[2]};
  for (std::size_t i = 0; i < std::size(kGroups); ++i) {
    SCOPED_TRACE(kGroups[i].group);
    EXPECT_EQ(kGroups[i].want.requests, got[i].requests);
    EXPECT_EQ(kGroups[i].want.p50, got[i].p50);
    EXPECT_EQ(kGroups[i].want.p95, got[i].p95);
    EXPECT_EQ(kGroups[i].want.max, got[i].max);
  }
}

// Each request's fate, in order of completion: the third request touches
// the waiting second and is carried by its update.
TEST(Model, FatesOfEachRequest) {
  const struct {
    unsigned long long request, update, mergedInto;
    Micros arrival, start, end;
  } kFates[] = {
      {1, 1, 0, 0, 0, 120 * kMs},
      {2, 2, 0, 1 * kMs, 120 * kMs, 240 * kMs},
      {3, 2, 2, 2 * kMs, 120 * kMs, 240 * kMs},
  };
  const Profile profile = defaultProfile();
  Model model(profile, nullptr);
  model.keepFates(true);
  model.submit(0, partial(0, 0, 100, 100, 0));
  model.submit(1 * kMs, partial(50, 50, 120, 120, 0));
  model.submit(2 * kMs, {DM_CMD_DUMP, 7, 0, 0, 0, 0, 0});  // not counted
  model.submit(2 * kMs, partial(121, 60, 200, 90, 0));
  EXPECT_EQ(3U, model.requests());
  std::vector<Fate> fates;
  model.takeFates(fates);
  EXPECT_TRUE(fates.empty());
  model.finish(2 * kMs);
  model.takeFates(fates);
  ASSERT_EQ(std::size(kFates), fates.size());
  for (std::size_t i = 0; i < fates.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(kFates[i].request, fates[i].request);
    EXPECT_EQ(kFates[i].update, fates[i].update);
    EXPECT_EQ(kFates[i].mergedInto, fates[i].mergedInto);
    EXPECT_EQ("A2", profile.waveform(fates[i].waveform).name);
    EXPECT_FALSE(fates[i].flash);
    EXPECT_EQ(kFates[i].arrival, fates[i].arrival);
    EXPECT_EQ(kFates[i].start, fates[i].start);
    EXPECT_EQ(kFates[i].end, fates[i].end);
  }
  fates.clear();
  model.takeFates(fates);
  EXPECT_TRUE(fates.empty());
}

// The residue's figures are kept row by row as passes change them; after
// each pass they are what a look at every pixel finds.
TEST(Model, ResidueFiguresFollowEachPass) {
  const struct {
    const char* what;
    Rect drawn;
    uint8_t gray;
    DmCommand command;
  } kSteps[] = {
      {"A2 black square", {10, 10, 20, 20}, 0, partial(10, 10, 20, 20, 0)},
      {"A2 bar", {100, 200, 300, 210}, 0, partial(100, 200, 300, 210, 0)},
      {"DU white over both", {0, 0, 400, 400}, 255, partial(0, 0, 400, 400, 1)},
      {"A2 across the area",
       {0, 300, 768, 305},
       0,
       partial(0, 300, 768, 305, 0)},
      // The fifth partial update: flash_every = 5 makes it flash.
      {"a flashing partial over the square",
       {0, 0, 50, 50},
       128,
       partial(0, 0, 50, 50, 0)},
      {"A2 white row", {0, 300, 768, 300}, 255, partial(0, 300, 768, 300, 0)},
      {"a full update", {0, 0, 0, 0}, 0, kFull},
  };
  Profile profile = defaultProfile();
  profile.flashEvery = 5;
  Plane framebuffer;
  Model model(profile, &framebuffer);
  Micros t = 0;
  for (const auto& step : kSteps) {
    SCOPED_TRACE(step.what);
    framebuffer.fill(step.drawn.x0, step.drawn.y0, step.drawn.x1, step.drawn.y1,
                     step.gray);
    model.submit(t, step.command);
    t += 1000 * kMs;
    model.advance(t);
    Summary seen;
    seen.residueX0 = geometry::kWidth;
    seen.residueY0 = geometry::kHeight;
    for (int y = 0; y < geometry::kHeight; ++y)
      for (int x = 0; x < geometry::kWidth; ++x) {
        const int r = model.residue(x, y);
        if (r > seen.residueMax) {
          seen.residueMax = r;
          seen.residueX = x;
          seen.residueY = y;
        }
        if (r < kResidueAreaThreshold) continue;
        ++seen.residueArea;
        seen.residueX0 = std::min(seen.residueX0, x);
        seen.residueY0 = std::min(seen.residueY0, y);
        seen.residueX1 = std::max(seen.residueX1, x);
        seen.residueY1 = std::max(seen.residueY1, y);
      }
    const Summary s = model.summary();
    EXPECT_EQ(seen.residueMax, s.residueMax);
    EXPECT_EQ(seen.residueX, s.residueX);
    EXPECT_EQ(seen.residueY, s.residueY);
    EXPECT_EQ(seen.residueArea, s.residueArea);
    if (seen.residueArea == 0) continue;
    EXPECT_EQ(
        Rect({seen.residueX0, seen.residueY0, seen.residueX1, seen.residueY1}),
        Rect({s.residueX0, s.residueY0, s.residueX1, s.residueY1}));
  }
  EXPECT_EQ(0, model.summary().residueMax);
}

}  // namespace
}  // namespace zodm::model
