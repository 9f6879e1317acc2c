// SPDX-License-Identifier: MIT
// The feed's heat map, events and totals in its messages, and its waits.
#include "feed.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "feed_testing.h"
#include "modelRunner.h"

namespace zodm::live {
namespace {

using namespace std::chrono_literals;

// Long enough never to be reached: a wait that should end on news or on
// the stop would hang the test instead of passing.
constexpr auto kNever = 24h;

TEST(RefusedLine, ShortensLongTextsAndSaysTheirLength) {
  EXPECT_EQ(R"(refused "<b>")", refusedLine("<b>"));
  const std::string exact(kShownBytes, 'a');
  EXPECT_EQ("refused \"" + exact + "\"", refusedLine(exact));
  const std::string longer(70000, '\xff');
  std::string shown;
  for (std::size_t i = 0; i < kShownBytes; ++i) shown += "\\xff";
  EXPECT_EQ("refused \"" + shown + "\" ... (70000 bytes)", refusedLine(longer));
}

// The first line of a message's caption, as the feed writes it.
std::string firstCaptionLine(const Message& message) {
  const std::string caption = message["caption"];
  return caption.substr(0, caption.find("\","));
}

TEST(Feed, FirstMessageHoldsTheStateLaterOnesWhatChanged) {
  screen::HeatMap heatMap;
  Feed feed(heatMap);
  const DmCommand full{DM_CMD_DISPLAY, 1, 2, 0, 0, 0, 0};
  feed.record(full, "!0,1,2");

  Cursor cursor;
  const Message first(feed.nextMessage(cursor));
  EXPECT_EQ("true", first["reset"]);
  EXPECT_EQ("(missing)", first["area"]);  // the page's files have it
  EXPECT_NE("(missing)", first["scale"]);
  EXPECT_EQ("1", first["received"]);
  EXPECT_EQ("1", first["max"]);
  EXPECT_EQ("[[0,1024,1,769]]", first["rows"]);
  EXPECT_EQ(R"([{"n":1,"k":"f","s":"display priority=1 quality=2"}])",
            first["events"]);

  // Nothing new: no rows, no events.
  const Message idle(feed.nextMessage(cursor));
  EXPECT_EQ("false", idle["reset"]);
  EXPECT_EQ("(missing)", idle["scale"]);
  EXPECT_EQ("[]", idle["rows"]);
  EXPECT_EQ("[]", idle["events"]);

  feed.record(partial(200, 300, 10, 20), "!1,1,2,200,300,10,20");
  feed.record(std::nullopt, "<img src=x onerror=alert(1)>");
  const DmCommand dump{DM_CMD_DUMP, 7, 0, 0, 0, 0, 0};
  feed.record(dump, "!2,7");
  const Message later(feed.nextMessage(cursor));
  EXPECT_EQ("4", later["received"]);
  EXPECT_EQ("2", later["max"]);
  // Only the rows the partial update changed, as one group.
  EXPECT_EQ("[[20,300,1,10,2,191,1,568]]", later["rows"]);
  EXPECT_EQ(
      R"x([{"n":2,"k":"p","r":[10,20,200,300],"s":"partial priority=1 quality=2 rect=(200,300)-(10,20)"},)x"
      R"x({"n":3,"k":"r","s":"refused \"\u003cimg src=x onerror=alert(1)\u003e\""},)x"
      R"x({"n":4,"k":"d","s":"dump argument=7"}])x",
      later["events"]);
  EXPECT_EQ(std::string::npos, later.text().find('<'));
  EXPECT_EQ("0", later["skipped"]);
  EXPECT_EQ(R"(["accepted 3, refused 1)", firstCaptionLine(later));

  // A late viewer gets every row and the last events.
  Cursor late;
  const Message catchUp(feed.nextMessage(late));
  EXPECT_EQ("true", catchUp["reset"]);
  EXPECT_EQ("[[0,19,1,769],[20,300,1,10,2,191,1,568],[301,1024,1,769]]",
            catchUp["rows"]);
  EXPECT_EQ(0U, catchUp["events"].find("[{\"n\":1,"));
}

TEST(Feed, AViewerFarBehindSkipsEventsButNotTheState) {
  screen::HeatMap heatMap;
  Feed feed(heatMap);
  Cursor cursor;
  feed.nextMessage(cursor);
  const unsigned long long total = kRingSize + 100;
  for (unsigned long long i = 0; i < total; ++i) feed.record(std::nullopt, "x");
  const Message message(feed.nextMessage(cursor));
  EXPECT_EQ(std::to_string(total), message["received"]);
  EXPECT_EQ(std::to_string(total - kEventsPerMessage), message["skipped"]);
  // The newest events, up to the last.
  const std::string events = message["events"];
  EXPECT_EQ(0U,
            events.find("[{\"n\":" +
                        std::to_string(total - kEventsPerMessage + 1) + ","));
  EXPECT_NE(std::string::npos,
            events.find("{\"n\":" + std::to_string(total) + ","));
  EXPECT_EQ("[\"accepted 0, refused " + std::to_string(total),
            firstCaptionLine(message));
}

TEST(Feed, ALargeStateIsSentInPartsThatAddUp) {
  screen::HeatMap heatMap;
  Feed feed(heatMap);
  // Every other column x refreshed once in rows 0..x: the rows differ, and
  // the top ones have hundreds of runs.
  for (int32_t x = 0; x <= DM_MAX_X; x += 2)
    feed.record(partial(x, 0, x, x), "");
  Cursor cursor;
  std::map<int, std::string> rows;
  int messages = 0;
  for (bool more = true; more && messages < 100; ++messages) {
    const Message message(feed.nextMessage(cursor));
    EXPECT_LT(message.text().size(), kRowBudget + 8 * 1024);
    for (const auto& [y, runs] : message.rows()) rows[y] = runs;
    more = message["more"] == "true";
  }
  EXPECT_GT(messages, 1);
  ASSERT_EQ(static_cast<std::size_t>(kHeight), rows.size());
  for (int y = 0; y < kHeight; ++y) {
    std::string expected;
    appendCountRow(expected, heatMap.row(y));
    ASSERT_EQ(expected, rows[y]) << "row " << y;
  }
}

TEST(Feed, WaitsEndOnNewsDropsTimeOrStop) {
  screen::HeatMap heatMap;
  Feed feed(heatMap);
  Cursor cursor;
  // A fresh cursor has news: its first message.
  EXPECT_TRUE(feed.waitForNews(cursor, Feed::Clock::now() + kNever));
  feed.nextMessage(cursor);
  // Without news, the wait lasts until its deadline.
  const auto deadline = Feed::Clock::now() + 50ms;
  EXPECT_TRUE(feed.waitForNews(cursor, deadline));
  EXPECT_GE(Feed::Clock::now(), deadline);

  // Each kind of news ends a wait, whether it comes while the thread waits
  // (most likely, after the pause) or before (the wait then ends at once).
  const auto waitFor = [&](const auto& news) {
    std::thread other([&] {
      std::this_thread::sleep_for(20ms);
      news();
    });
    EXPECT_TRUE(feed.waitForNews(cursor, Feed::Clock::now() + kNever));
    other.join();
  };
  waitFor([&] { feed.record(std::nullopt, "x"); });
  feed.nextMessage(cursor);
  // So does a new count of drops, which the next message carries.
  waitFor([&] { feed.setDropped(7); });
  EXPECT_EQ("7", Message(feed.nextMessage(cursor))["dropped"]);
  // And the model's news, once the feed shows a model.
  const model::Profile profile = model::defaultProfile();
  screen::ModelRunner runner(profile, nullptr, false, tools::toolStart());
  feed.showModel(runner);
  feed.nextMessage(cursor);
  waitFor([&] { feed.modelChanged(); });

  // The stop ends a sleep, and every wait from then on.
  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);
    feed.stop();
  });
  EXPECT_FALSE(feed.sleepUntil(Feed::Clock::now() + kNever));
  stopper.join();
  EXPECT_FALSE(feed.waitForNews(cursor, Feed::Clock::now() + kNever));
}

// The receive loop and viewers at once: every datagram is counted, and what
// each viewer was sent adds up to the heat map's counts.
TEST(Feed, RecordsWhileViewersRead) {
  screen::HeatMap heatMap;
  Feed feed(heatMap);
  constexpr int kDatagrams = 20000;
  std::atomic<bool> done{false};
  std::thread loop([&] {
    for (int i = 0; i < kDatagrams; ++i) {
      const DmCommand rect = partial(i % 700, i % 1000, i % 700 + 5, i % 1000);
      feed.record(i % 10 == 0 ? std::nullopt : std::optional(rect), "!x");
    }
    done = true;
  });
  std::vector<Cursor> cursors(2);
  std::vector<std::map<int, std::string>> seen(cursors.size());
  std::vector<std::thread> viewers;
  for (std::size_t v = 0; v < cursors.size(); ++v)
    viewers.emplace_back([&, v] {
      while (!done)
        for (const auto& [y, runs] :
             Message(feed.nextMessage(cursors[v])).rows())
          seen[v][y] = runs;
    });
  loop.join();
  for (auto& viewer : viewers) viewer.join();
  for (std::size_t v = 0; v < cursors.size(); ++v) {
    const Message last(feed.nextMessage(cursors[v]));
    EXPECT_EQ("20000", last["received"]);
    for (const auto& [y, runs] : last.rows()) seen[v][y] = runs;
    ASSERT_EQ(static_cast<std::size_t>(kHeight), seen[v].size());
    for (int y = 0; y < kHeight; ++y) {
      std::string expected;
      appendCountRow(expected, heatMap.row(y));
      ASSERT_EQ(expected, seen[v][y]) << "row " << y;
    }
  }
  Cursor fresh;
  EXPECT_EQ(R"(["accepted 18000, refused 2000)",
            firstCaptionLine(Message(feed.nextMessage(fresh))));
}

}  // namespace
}  // namespace zodm::live
