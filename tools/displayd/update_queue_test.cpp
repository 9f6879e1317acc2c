// SPDX-License-Identifier: MIT
// The update queue against a panel in memory whose completions the test
// releases: what merges while the controller is busy, flashing every N
// updates, markers, refusals, latencies and a burst that must stay bounded.
// Nothing here depends on time: the queue's clock is the test's.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "updateQueue.h"

namespace zodm::displayd {
namespace {

using std::chrono::milliseconds;
// finish's bound: never reached unless the queue is broken.
constexpr milliseconds kBound{60 * 1000};

bool signalsBlocked() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1 &&
         sigismember(&mask, SIGHUP) == 1;
}

// A 1000 x 1400 panel. Its waits return once the test has released them
// (all of them, unless holding), in the order they began.
class FakePanel final : public Panel {
 public:
  explicit FakePanel(const char* controller = "mxcfb-nxp")
      : controller_(*findController(controller)) {
    geometry_.xres = 1000;
    geometry_.yres = 1400;
  }
  const Controller& controller() const override { return controller_; }
  const Geometry& geometry() const override { return geometry_; }
  int submit(const PanelUpdate& u) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(u);
    blocked_ = blocked_ && signalsBlocked();
    changed_.notify_all();
    if (errors_.empty()) return 0;
    const int error = errors_.front();
    errors_.pop_front();
    return error;
  }
  WaitOutcome wait(uint32_t marker) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::size_t mine = waits_.size();
    waits_.push_back(marker);
    changed_.notify_all();
    changed_.wait(lock, [&] { return !holding_ || mine < released_; });
    if (outcomes_.empty()) return {};
    const WaitOutcome outcome = outcomes_.front();
    outcomes_.pop_front();
    return outcome;
  }

  // The test's side.
  void hold() { holding_ = true; }
  void script(std::deque<int> errors, std::deque<WaitOutcome> outcomes = {}) {
    errors_ = std::move(errors);
    outcomes_ = std::move(outcomes);
  }
  void awaitWaits(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return waits_.size() >= n; });
  }
  void awaitSubmits(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return sent_.size() >= n; });
  }
  // Lets the first n waits return; all of them with n 0.
  void release(std::size_t n = 0) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (n == 0) holding_ = false;
    released_ = n;
    changed_.notify_all();
  }
  std::vector<PanelUpdate> sent() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }
  std::vector<uint32_t> waits() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return waits_;
  }
  bool signalsWereBlocked() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return blocked_;
  }

 private:
  const Controller& controller_;
  Geometry geometry_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PanelUpdate> sent_;
  std::vector<uint32_t> waits_;
  std::deque<int> errors_;
  std::deque<WaitOutcome> outcomes_;
  bool holding_ = false;
  std::size_t released_ = 0;
  bool blocked_ = true;
};

// A2, DU, GL16, GC16, as the built-in profile has them.
DisplayPlan plan(int flashEvery = 0) {
  const model::Profile builtIn = model::defaultProfile();
  DisplayPlan p;
  for (const char* name : {"A2", "DU", "GL16", "GC16"})
    p.waveforms.push_back(builtIn.waveform(builtIn.find(name)));
  p.flashEvery = flashEvery;
  return p;
}

PlannedUpdate update(int x0, int y0, int x1, int y1, std::size_t waveform = 0,
                     UpdateKind kind = UpdateKind::Partial,
                     bool flashing = false, int64_t arrival = 0) {
  static constexpr uint32_t kCodes[] = {4, 1, 5, 2};
  PlannedUpdate u;
  u.x0 = x0;
  u.y0 = y0;
  u.x1 = x1;
  u.y1 = y1;
  u.waveform = waveform;
  u.code = kCodes[waveform];
  u.kind = kind;
  u.flashing = flashing;
  u.arrival = arrival;
  return u;
}
PlannedUpdate erase(int64_t arrival = 0) {
  return update(0, 0, 999, 1399, 3, UpdateKind::Erase, true, arrival);
}

std::string describe(const PanelUpdate& u) {
  return std::to_string(u.left) + "," + std::to_string(u.top) + " " +
         std::to_string(u.width) + "x" + std::to_string(u.height) +
         " code=" + std::to_string(u.waveform) +
         " mode=" + std::to_string(u.mode);
}

QueueSettings quick() {
  QueueSettings s;
  s.retryPause = milliseconds(0);
  return s;
}

TEST(UpdateQueue, MergesWhileTheControllerIsBusy) {
  const PlannedUpdate p1 = update(0, 0, 99, 99);
  const PlannedUpdate disjointErase =
      update(500, 500, 599, 599, 3, UpdateKind::Erase, true);
  const struct {
    const char* name;
    std::vector<PlannedUpdate> pushed;
    std::vector<std::string> sent;
  } kCases[] = {
      {"touching partials: their box, the stronger waveform",
       {update(100, 100, 199, 199, 0), update(200, 100, 299, 199, 2)},
       {"100,100 200x100 code=5 mode=0"}},
      {"disjoint partials stay apart",
       {update(100, 100, 199, 199), update(300, 300, 399, 399)},
       {"100,100 100x100 code=4 mode=0", "300,300 100x100 code=4 mode=0"}},
      // DU beats A2 (same levels, longer), and the merge flashes.
      {"flashing if either",
       {update(0, 0, 49, 49, 0),
        update(40, 40, 89, 89, 1, UpdateKind::Partial, true)},
       {"0,0 90x90 code=1 mode=1"}},
      {"partials over a waiting erase merge behind it",
       {erase(), update(10, 10, 20, 20), update(15, 15, 30, 30)},
       {"0,0 1000x1400 code=2 mode=1", "10,10 21x21 code=4 mode=0"}},
      {"erase, partial, erase, partial keep their order",
       {update(10, 10, 20, 20), erase(), update(10, 10, 20, 20), erase()},
       {"10,10 11x11 code=4 mode=0", "0,0 1000x1400 code=2 mode=1",
        "10,10 11x11 code=4 mode=0", "0,0 1000x1400 code=2 mode=1"}},
      {"a partial merges past an erase it does not touch",
       {p1, disjointErase, update(50, 50, 149, 149)},
       {"0,0 150x150 code=4 mode=0", "500,500 100x100 code=2 mode=1"}},
      {"a grown box takes in the older update it now touches",
       {update(100, 100, 199, 199), update(300, 100, 399, 199),
        update(150, 100, 350, 199)},
       {"100,100 300x100 code=4 mode=0"}},
      {"but not past an erase",
       {update(0, 0, 99, 99), erase(), update(200, 0, 299, 99),
        update(100, 0, 199, 99)},
       {"0,0 100x100 code=4 mode=0", "0,0 1000x1400 code=2 mode=1",
        "100,0 200x100 code=4 mode=0"}},
      {"a full update takes a waiting partial in",
       {update(0, 0, 999, 1399, 3, UpdateKind::Full, true),
        update(10, 10, 20, 20)},
       {"0,0 1000x1400 code=2 mode=1"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FakePanel panel;
    panel.hold();
    UpdateQueue queue(panel, plan(), quick());
    ASSERT_EQ(queue.start(), "");
    // The first update keeps the controller busy while the rest wait.
    ASSERT_TRUE(queue.push(update(900, 1300, 909, 1309)));
    panel.awaitWaits(1);
    for (const PlannedUpdate& u : c.pushed) ASSERT_TRUE(queue.push(u));
    panel.release();
    EXPECT_TRUE(queue.finish(kBound));
    std::vector<std::string> sent;
    for (const PanelUpdate& p : panel.sent()) sent.push_back(describe(p));
    sent.erase(sent.begin());
    EXPECT_EQ(sent, c.sent);
    const QueueStats s = queue.stats();
    EXPECT_EQ(s.merged, c.pushed.size() - c.sent.size());
    EXPECT_EQ(s.measured, c.pushed.size() + 1);
  }
}

TEST(UpdateQueue, FlashesEveryNthPartial) {
  // P partial, p partial asked to flash, F full (flashing), E erase that
  // does not flash.
  const struct {
    int every;
    const char* kinds;
    const char* modes;  // 1: carried out flashing
  } kCases[] = {
      {6, "PPPPPPPPPPPP", "000001000001"},
      {0, "PPPPPP", "000000"},
      {1, "PP", "11"},
      {3, "PPFPPPP", "0010010"},
      {3, "PPpPPP", "001001"},
      {2, "PEPP", "0010"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.every) + " " + c.kinds);
    FakePanel panel;
    UpdateQueue queue(panel, plan(c.every), quick());
    ASSERT_EQ(queue.start(), "");
    std::string modes;
    for (std::size_t i = 0; c.kinds[i] != '\0'; ++i) {
      const char k = c.kinds[i];
      // Disjoint regions; each waits for the one before to be submitted,
      // so none merges.
      const int x = 20 * static_cast<int>(i);
      const PlannedUpdate u =
          k == 'F'   ? update(0, 0, 999, 1399, 3, UpdateKind::Full, true)
          : k == 'E' ? update(x, 0, x + 9, 9, 3, UpdateKind::Erase)
                     : update(x, 0, x + 9, 9, 0, UpdateKind::Partial, k == 'p');
      ASSERT_TRUE(queue.push(u));
      panel.awaitSubmits(i + 1);
    }
    EXPECT_TRUE(queue.finish(kBound));
    unsigned long long flashes = 0;
    for (const PanelUpdate& p : panel.sent()) {
      modes += static_cast<char>('0' + p.mode);
      flashes += p.mode;
    }
    EXPECT_EQ(modes, c.modes);
    EXPECT_EQ(queue.stats().flashes, flashes);
  }
}

TEST(UpdateQueue, MarkersSkipZero) {
  const struct {
    uint32_t first;
    std::vector<uint32_t> markers;
  } kCases[] = {
      {1, {1, 2, 3}},
      {0, {1, 2}},
      {0xFFFFFFFE, {0xFFFFFFFE, 0xFFFFFFFF, 1, 2}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.first);
    FakePanel panel;
    QueueSettings settings = quick();
    settings.firstMarker = c.first;
    UpdateQueue queue(panel, plan(), settings);
    ASSERT_EQ(queue.start(), "");
    for (std::size_t i = 0; i < c.markers.size(); ++i) {
      const int x = 20 * static_cast<int>(i);
      ASSERT_TRUE(queue.push(update(x, 0, x + 9, 9)));
    }
    EXPECT_TRUE(queue.finish(kBound));
    std::vector<uint32_t> sent;
    for (const PanelUpdate& p : panel.sent()) sent.push_back(p.marker);
    EXPECT_EQ(sent, c.markers);
    EXPECT_EQ(panel.waits(), c.markers);  // each one waited on
    EXPECT_TRUE(panel.signalsWereBlocked());
  }
}

TEST(UpdateQueue, RefusalsRetriedCountedOrFatal) {
  const std::string kDoesNotFit =
      "the controller layout mxcfb-nxp does not fit this device (its first "
      "update was refused: Invalid argument); the profile may not be for "
      "this device";
  const std::deque<int> kTenEperm(10, EPERM);
  const struct {
    const char* name;
    std::deque<int> errors;  // the submits' answers, then 0
    unsigned long long submitted, retries, refused, left;
    bool fatal;
  } kCases[] = {
      {"EPERM 3 times, then taken", {EPERM, EPERM, EPERM}, 3, 3, 0, 0, false},
      {"EPERM on every try: given up", kTenEperm, 2, 9, 1, 0, false},
      {"EINVAL first: the layout does not fit", {EINVAL}, 0, 0, 1, 2, true},
      {"EPERM, then EINVAL: none taken yet", {EPERM, EINVAL}, 0, 1, 1, 2, true},
      {"EINVAL once one was taken", {0, EINVAL}, 2, 0, 1, 0, false},
      {"ENOMEM", {ENOMEM}, 2, 0, 1, 0, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FakePanel panel;
    panel.script(c.errors);
    std::atomic<int> stops{0};
    QueueSettings settings = quick();
    settings.onStop = [&stops] { ++stops; };
    UpdateQueue queue(panel, plan(), settings);
    // Three disjoint updates, waiting before the thread starts.
    for (int x : {0, 100, 200}) ASSERT_TRUE(queue.push(update(x, 0, x + 9, 9)));
    ASSERT_EQ(queue.start(), "");
    EXPECT_EQ(queue.finish(kBound), !c.fatal);
    const QueueStats s = queue.stats();
    EXPECT_EQ(s.submitted, c.submitted);
    EXPECT_EQ(s.retries, c.retries);
    EXPECT_EQ(s.refused, c.refused);
    EXPECT_EQ(s.left, c.left);
    EXPECT_EQ(s.taken, s.submitted + s.refused + s.left);
    EXPECT_EQ(queue.failure(), c.fatal ? kDoesNotFit : "");
    EXPECT_EQ(stops.load(), c.fatal ? 1 : 0);
    EXPECT_FALSE(queue.push(update(0, 0, 9, 9)));
  }
}

TEST(UpdateQueue, WaitOutcomesCounted) {
  constexpr WaitOutcome kTimedOut{WaitResult::TimedOut, ETIMEDOUT};
  constexpr WaitOutcome kFailed{WaitResult::Failed, EINVAL};
  const struct {
    const char* name;
    bool wait;
    std::deque<WaitOutcome> outcomes;  // then Done
    unsigned long long timedOut, failed, measured;
  } kCases[] = {
      {"done", true, {}, 0, 0, 2},
      {"timed out, failed", true, {kTimedOut, kFailed}, 1, 1, 0},
      // Without waits, a latency ends once the waveform has run.
      {"no waits", false, {}, 0, 0, 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FakePanel panel;
    panel.script({}, c.outcomes);
    DisplayPlan p = plan();
    p.wait = c.wait;
    for (model::Waveform& w : p.waveforms) w.duration = w.flashTime = 0;
    UpdateQueue queue(panel, p, quick());
    for (int x : {0, 100}) ASSERT_TRUE(queue.push(update(x, 0, x + 9, 9)));
    ASSERT_EQ(queue.start(), "");
    EXPECT_TRUE(queue.finish(kBound));
    const QueueStats s = queue.stats();
    EXPECT_EQ(s.waitsTimedOut, c.timedOut);
    EXPECT_EQ(s.waitsFailed, c.failed);
    EXPECT_EQ(s.measured, c.measured);
    EXPECT_EQ(panel.waits().size(), c.wait ? 2u : 0u);
  }
}

// From each request's arrival to its update's completion, on the test's
// clock: 250 ms for the first, 699 and 698 ms for two that merged behind
// it, which waited 249 ms from the first one's arrival to its submission;
// the controller was busy 250 + 450 ms.
TEST(UpdateQueue, LatenciesOnTheQueuesClock) {
  constexpr int64_t kMs = 1000;
  FakePanel panel;
  panel.hold();
  std::atomic<int64_t> clock{0};
  QueueSettings settings = quick();
  settings.now = [&clock] { return clock.load(); };
  UpdateQueue queue(panel, plan(), settings);
  ASSERT_EQ(queue.start(), "");
  queue.push(update(0, 0, 9, 9));
  panel.awaitWaits(1);
  queue.push(update(100, 0, 109, 9, 0, UpdateKind::Partial, false, 1 * kMs));
  queue.push(update(105, 0, 119, 9, 0, UpdateKind::Partial, false, 2 * kMs));
  clock = 250 * kMs;
  panel.release(1);
  panel.awaitWaits(2);
  clock = 700 * kMs;
  panel.release();
  EXPECT_TRUE(queue.finish(kBound));
  const QueueStats s = queue.stats();
  EXPECT_EQ(s.measured, 3u);
  EXPECT_EQ(s.p50, 698 * kMs);
  EXPECT_EQ(s.p95, 699 * kMs);
  EXPECT_EQ(s.max, 699 * kMs);
  EXPECT_EQ(s.waited, 249 * kMs);
  EXPECT_EQ(s.busy, 700 * kMs);
}

TEST(UpdateQueue, RegionsFitThePanel) {
  const struct {
    const char* controller;
    int x0, y0, x1, y1;
    const char* sent;
  } kCases[] = {
      {"mxcfb-nxp", -5, -5, 10, 10, "0,0 11x11"},
      {"mxcfb-nxp", 990, 1390, 2000, 2000, "990,1390 10x10"},
      {"mxcfb-nxp", 50, 60, 10, 20, "10,20 41x41"},  // corners swapped
      {"mxcfb-nxp", 5, 5, 5, 5, "5,5 2x2"},          // one pixel locks kernels
      {"mxcfb-nxp", 999, 1399, 999, 1399, "998,1398 2x2"},
      {"mxcfb-nxp", 5000, 5000, 6000, 6000, "998,1398 2x2"},
      {"hwtcon-kobo", 17, 17, 20, 40, "16,16 16x32"},
      {"hwtcon-kobo", 990, 0, 999, 5, "976,0 24x16"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.controller) + " " + c.sent);
    FakePanel panel(c.controller);
    UpdateQueue queue(panel, plan(), quick());
    ASSERT_EQ(queue.start(), "");
    ASSERT_TRUE(queue.push(update(c.x0, c.y0, c.x1, c.y1)));
    EXPECT_TRUE(queue.finish(kBound));
    const std::vector<PanelUpdate> sent = panel.sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(describe(sent[0]).substr(0, std::string(c.sent).size()), c.sent);
  }
}

// 10,000 updates while the controller is stuck: the queue stays within its
// bound, and every update is carried out or merged into one that is.
TEST(UpdateQueue, BurstStaysBounded) {
  FakePanel panel;
  panel.hold();
  UpdateQueue queue(panel, plan(6), quick());
  ASSERT_EQ(queue.start(), "");
  ASSERT_TRUE(queue.push(update(0, 0, 9, 9)));
  panel.awaitWaits(1);
  uint32_t seed = 12345;
  const auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return static_cast<int>((seed >> 8) % n);
  };
  for (int i = 0; i < 10000; ++i) {
    const int x = next(990), y = next(1390);
    const int roll = next(100);
    const PlannedUpdate u =
        roll == 0   ? erase(i)
        : roll == 1 ? update(0, 0, 999, 1399, 3, UpdateKind::Full, true, i)
                    : update(x, y, x + next(10), y + next(10),
                             static_cast<std::size_t>(next(4)),
                             UpdateKind::Partial, false, i);
    ASSERT_TRUE(queue.push(u));
  }
  EXPECT_LE(queue.stats().mostWaiting, UpdateQueue::kMaxWaiting);
  panel.release();
  EXPECT_TRUE(queue.finish(kBound));
  const QueueStats s = queue.stats();
  EXPECT_EQ(s.taken, 10001u);
  EXPECT_EQ(s.taken, s.submitted + s.merged);
  EXPECT_EQ(s.measured, s.requests);  // every request reached the panel
  EXPECT_EQ(panel.sent().size(), s.submitted);
  EXPECT_LE(s.mostWaiting, UpdateQueue::kMaxWaiting);
}

// Erases and partial updates over the same pixels, alternating, cannot
// merge with their neighbours: beyond the bound the oldest of each kind do.
TEST(UpdateQueue, AlternatingKindsStayBounded) {
  FakePanel panel;
  panel.hold();
  UpdateQueue queue(panel, plan(), quick());
  ASSERT_EQ(queue.start(), "");
  ASSERT_TRUE(queue.push(update(0, 0, 9, 9)));
  panel.awaitWaits(1);
  const std::size_t n = UpdateQueue::kMaxWaiting + 1;
  for (std::size_t i = 0; i < n; ++i)
    ASSERT_TRUE(queue.push(i % 2 == 0 ? erase() : update(0, 0, 99, 99)));
  EXPECT_EQ(queue.stats().mostWaiting, UpdateQueue::kMaxWaiting);
  panel.release();
  EXPECT_TRUE(queue.finish(kBound));
  const QueueStats s = queue.stats();
  EXPECT_EQ(s.merged, 2u);
  const std::vector<PanelUpdate> sent = panel.sent();
  ASSERT_EQ(sent.size(), n - 1);
  for (std::size_t i = 1; i < sent.size(); ++i)
    EXPECT_EQ(sent[i].width, i % 2 == 1 ? 1000u : 100u) << i;
}

}  // namespace
}  // namespace zodm::displayd
