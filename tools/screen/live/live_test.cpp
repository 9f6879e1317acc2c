// SPDX-License-Identifier: MIT
// The live page's feed and its messages, the escaping of received texts, the
// --serve address and the routes, without HTTP.
#include "live.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "framebufferSource.h"
#include "modelRunner.h"
#include "text.h"

namespace zodm::live {
namespace {

using namespace std::chrono_literals;

TEST(AppendJsonString, EscapesWhatHtmlOrJsonWouldRead) {
  const struct {
    std::string_view text;
    const char* json;
  } kCases[] = {
      {"", R"("")"},
      {"partial priority=2", R"("partial priority=2")"},
      {R"(refused "a\b")", R"("refused \"a\\b\"")"},
      {"<img src=x onerror=alert(1)>",
       R"("\u003cimg src=x onerror=alert(1)\u003e")"},
      {"a&b", R"("a\u0026b")"},
      {std::string_view("\n\r\t\0\x1f", 5),
       R"("\u000a\u000d\u0009\u0000\u001f")"},
      {"\x7f\x80\xff", R"("\u007f\u0080\u00ff")"},
      {"\xe2\x80\xa8", R"("\u00e2\u0080\u00a8")"},  // U+2028, byte by byte
  };
  for (const auto& c : kCases) {
    std::string out;
    tools::appendPageString(out, c.text);
    EXPECT_EQ(c.json, out);
  }
}

TEST(RefusedLine, ShortensLongTextsAndSaysTheirLength) {
  EXPECT_EQ(R"(refused "<b>")", refusedLine("<b>"));
  const std::string exact(kShownBytes, 'a');
  EXPECT_EQ("refused \"" + exact + "\"", refusedLine(exact));
  const std::string longer(70000, '\xff');
  std::string shown;
  for (std::size_t i = 0; i < kShownBytes; ++i) shown += "\\xff";
  EXPECT_EQ("refused \"" + shown + "\" ... (70000 bytes)", refusedLine(longer));
}

TEST(ParseEndpoint, AddressAndPort) {
  const struct {
    const char* word;
    const char* endpoint;  // nullptr: refused
    bool loopback;
  } kCases[] = {
      {"8050", "127.0.0.1:8050", true},
      {"0.0.0.0:8050", "0.0.0.0:8050", false},
      {"localhost:1", "127.0.0.1:1", true},
      {"127.1.2.3:65535", "127.1.2.3:65535", true},
      {"", nullptr, false},
      {"0", nullptr, false},
      {"65536", nullptr, false},
      {"-1", nullptr, false},
      {"80x", nullptr, false},
      {":8050", nullptr, false},
      {"127.0.0.1:", nullptr, false},
      {"1.2.3:8050", nullptr, false},
      {"::1:8050", nullptr, false},
      {"name.example:8050", nullptr, false},
      {"127.0.0.1:8050:1", nullptr, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.word);
    Endpoint endpoint;
    const std::string problem = parseEndpoint(c.word, endpoint);
    if (c.endpoint == nullptr) {
      EXPECT_NE("", problem);
      continue;
    }
    EXPECT_EQ("", problem);
    EXPECT_EQ(c.endpoint, endpoint.text());
    EXPECT_EQ(c.loopback, endpoint.loopback());
  }
}

constexpr char kKey[] = "00112233445566778899aabbccddeeff";

TEST(Key, RandomHexAndCompared) {
  Key one;
  Key two;
  ASSERT_EQ("", Key::make(one));
  ASSERT_EQ("", Key::make(two));
  EXPECT_EQ(32u, one.hex().size());
  EXPECT_EQ(std::string::npos, one.hex().find_first_not_of("0123456789abcdef"));
  EXPECT_NE(one.hex(), two.hex());

  const Key key(kKey);
  const struct {
    const char* text;
    bool matches;
  } kCases[] = {
      {kKey, true},
      {nullptr, false},
      {"", false},
      {"00112233445566778899aabbccddeefe", false},   // last digits swapped
      {"10112233445566778899aabbccddeeff", false},   // first digit
      {"00112233445566778899aabbccddeef", false},    // one short
      {"00112233445566778899aabbccddeeff0", false},  // one more
      {"00112233445566778899AABBCCDDEEFF", false},   // as printed only
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(none)");
    EXPECT_EQ(c.matches, key.matches(c.text));
  }
  EXPECT_FALSE(Key().matches(""));  // no key matches nothing
  EXPECT_EQ("zodm-screen-8050", cookieName(8050));
}

TEST(Route, MethodsPathsHostsAndKeys) {
  const char* const wrong = "ffeeddccbbaa99887766554433221100";
  const struct {
    const char* method;
    const char* path;
    const char* host;
    const char* token;
    const char* cookie;
    bool loopbackOnly;
    Route route;
  } kCases[] = {
      {"GET", "/", "127.0.0.1:8050", nullptr, kKey, true, Route::Page},
      {"HEAD", "/", "localhost", nullptr, kKey, true, Route::Page},
      {"GET", "/page.js?x=1", "LocalHost:9", nullptr, kKey, true,
       Route::Script},
      {"GET", "/page.css", "[::1]:8050", nullptr, kKey, true, Route::Style},
      {"GET", "/events", nullptr, nullptr, kKey, true, Route::Events},
      {"GET", "/viewers", "127.0.0.1", nullptr, kKey, true, Route::Viewers},
      {"GET", "/favicon.ico", "127.0.0.1", nullptr, kKey, true, Route::NoIcon},
      {"GET", "/index.html", "127.0.0.1", nullptr, kKey, true, Route::NotFound},
      {"GET", "/events/", "127.0.0.1", nullptr, kKey, true, Route::NotFound},
      {"POST", "/", "127.0.0.1", nullptr, kKey, true, Route::NotAllowed},
      {"PUT", "/events", "127.0.0.1", nullptr, kKey, true, Route::NotAllowed},
      {"get", "/", "127.0.0.1", nullptr, kKey, true, Route::NotAllowed},
      {"POST", "/", "elsewhere.example", nullptr, kKey, true, Route::WrongHost},
      {"GET", "/", "elsewhere.example:8050", nullptr, kKey, true,
       Route::WrongHost},
      {"GET", "/", "127.0.0.1.example", nullptr, kKey, true, Route::WrongHost},
      {"GET", "/", "0.0.0.0:8050", nullptr, kKey, true, Route::WrongHost},
      {"GET", "/", "elsewhere.example:8050", nullptr, kKey, false, Route::Page},
      // The key: the right token enters the page, and opens every other
      // path as the cookie does; without either, nothing is served.
      {"GET", "/", "127.0.0.1", kKey, nullptr, true, Route::Enter},
      {"HEAD", "/", "127.0.0.1", kKey, kKey, true, Route::Enter},
      {"GET", "/", "127.0.0.1", wrong, kKey, true, Route::Page},
      {"GET", "/events", "127.0.0.1", kKey, nullptr, true, Route::Events},
      {"GET", "/", "127.0.0.1", nullptr, nullptr, true, Route::NoKey},
      {"GET", "/", "127.0.0.1", wrong, nullptr, true, Route::NoKey},
      {"GET", "/", "127.0.0.1", nullptr, wrong, true, Route::NoKey},
      {"GET", "/", "127.0.0.1", "", "", true, Route::NoKey},
      {"GET", "/events", "127.0.0.1", nullptr, nullptr, true, Route::NoKey},
      {"GET", "/page.js", "127.0.0.1", nullptr, nullptr, true, Route::NoKey},
      {"GET", "/favicon.ico", nullptr, nullptr, nullptr, true, Route::NoKey},
      {"GET", "/nowhere", "127.0.0.1", wrong, nullptr, true, Route::NoKey},
      {"POST", "/", "127.0.0.1", nullptr, nullptr, true, Route::NoKey},
      {"GET", "/", "device.example:8050", nullptr, nullptr, false,
       Route::NoKey},
      {"GET", "/", "device.example:8050", kKey, nullptr, false, Route::Enter},
  };
  const Key key(kKey);
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " " +
                 (c.host != nullptr ? c.host : "(no host)") + " token " +
                 (c.token != nullptr ? c.token : "(none)") + " cookie " +
                 (c.cookie != nullptr ? c.cookie : "(none)"));
    Request request;
    request.method = c.method;
    request.path = c.path;
    request.host = c.host;
    request.token = c.token;
    request.cookie = c.cookie;
    EXPECT_EQ(c.route, route(request, key, c.loopbackOnly));
  }
}

// The value of "name": in a message: the text up to the next ",\"" at the
// same depth is good enough for the fields checked here.
std::string field(const std::string& message, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const auto start = message.find(key);
  if (start == std::string::npos) return "(missing)";
  std::size_t end = start + key.size();
  int depth = 0;
  for (; end < message.size(); ++end) {
    const char c = message[end];
    if (c == '[' || c == '{') ++depth;
    if (c == ']' || c == '}') {
      if (depth == 0) break;
      --depth;
    }
    if (c == ',' && depth == 0) break;
  }
  return message.substr(start + key.size(), end - start - key.size());
}

// The rows of a message's "rows" field, by row: their runs as text.
std::map<int, std::string> rowsOf(const std::string& message,
                                  const std::string& name = "rows") {
  std::map<int, std::string> rows;
  const std::string all = field(message, name);
  std::size_t at = 1;  // after the outer '['
  while ((at = all.find('[', at)) != std::string::npos) {
    const auto end = all.find(']', at);
    const std::string entry = all.substr(at + 1, end - at - 1);
    const auto first = entry.find(',');
    const auto second = entry.find(',', first + 1);
    const int from = std::stoi(entry.substr(0, first));
    const int to = std::stoi(entry.substr(first + 1, second - first - 1));
    for (int y = from; y <= to; ++y) rows[y] = entry.substr(second + 1);
    at = end;
  }
  return rows;
}

DmCommand partial(int32_t xUp, int32_t yUp, int32_t xDown, int32_t yDown) {
  return {DM_CMD_DISPLAY_PARTIAL, 1, 2, xUp, yUp, xDown, yDown};
}

TEST(Feed, FirstMessageHoldsTheStateLaterOnesWhatChanged) {
  screen::HeatMap screen;
  Feed feed(screen);
  const DmCommand full{DM_CMD_DISPLAY, 1, 2, 0, 0, 0, 0};
  feed.record(&full, "!0,1,2");

  Cursor cursor;
  const std::string first = feed.next(cursor);
  EXPECT_EQ("true", field(first, "reset"));
  EXPECT_EQ("[769,1025]", field(first, "area"));
  EXPECT_EQ("1", field(first, "received"));
  EXPECT_EQ("1", field(first, "max"));
  EXPECT_EQ("[[0,1024,1,769]]", field(first, "rows"));
  EXPECT_EQ(R"([{"n":1,"k":"f","s":"display priority=1 quality=2"}])",
            field(first, "events"));

  // Nothing new: no rows, no events.
  const std::string idle = feed.next(cursor);
  EXPECT_EQ("false", field(idle, "reset"));
  EXPECT_EQ("(missing)", field(idle, "area"));
  EXPECT_EQ("[]", field(idle, "rows"));
  EXPECT_EQ("[]", field(idle, "events"));

  const DmCommand rect = partial(200, 300, 10, 20);
  feed.record(&rect, "!1,1,2,200,300,10,20");
  feed.record(nullptr, "<img src=x onerror=alert(1)>");
  const DmCommand dump{DM_CMD_DUMP, 7, 0, 0, 0, 0, 0};
  feed.record(&dump, "!2,7");
  const std::string later = feed.next(cursor);
  EXPECT_EQ("4", field(later, "received"));
  EXPECT_EQ("2", field(later, "max"));
  // Only the rows the partial update changed, as one group.
  EXPECT_EQ("[[20,300,1,10,2,191,1,568]]", field(later, "rows"));
  EXPECT_EQ(
      R"x([{"n":2,"k":"p","r":[10,20,200,300],"s":"partial priority=1 quality=2 rect=(200,300)-(10,20)"},)x"
      R"x({"n":3,"k":"r","s":"refused \"\u003cimg src=x onerror=alert(1)\u003e\""},)x"
      R"x({"n":4,"k":"d","s":"dump argument=7"}])x",
      field(later, "events"));
  EXPECT_EQ("0", field(later, "skipped"));
  EXPECT_NE(std::string::npos, later.find("\"accepted 3, refused 1\""));

  // A late viewer gets every row and the last events.
  Cursor late;
  const std::string catchUp = feed.next(late);
  EXPECT_EQ("true", field(catchUp, "reset"));
  EXPECT_EQ("[[0,19,1,769],[20,300,1,10,2,191,1,568],[301,1024,1,769]]",
            field(catchUp, "rows"));
  EXPECT_NE(std::string::npos, field(catchUp, "events").find("{\"n\":1,"));
}

TEST(Feed, AViewerFarBehindSkipsEventsButNotTheState) {
  screen::HeatMap screen;
  Feed feed(screen);
  Cursor cursor;
  feed.next(cursor);
  const unsigned long long total = kRingSize + 100;
  for (unsigned long long i = 0; i < total; ++i) feed.record(nullptr, "x");
  const std::string message = feed.next(cursor);
  EXPECT_EQ(std::to_string(total), field(message, "received"));
  EXPECT_EQ(std::to_string(total - kEventsPerMessage),
            field(message, "skipped"));
  // The newest events, up to the last.
  EXPECT_NE(std::string::npos,
            message.find("{\"n\":" + std::to_string(total) + ","));
  EXPECT_EQ(std::string::npos,
            message.find("{\"n\":" + std::to_string(total - kEventsPerMessage) +
                         ","));
  EXPECT_NE(std::string::npos,
            message.find("\"accepted 0, refused " + std::to_string(total)));
}

TEST(Feed, ALargeStateIsSentInPartsThatAddUp) {
  screen::HeatMap screen;
  Feed feed(screen);
  // Every other column x refreshed once in rows 0..x: the rows differ, and
  // the top ones have hundreds of runs.
  for (int32_t x = 0; x <= DM_MAX_X; x += 2) {
    const DmCommand column = partial(x, 0, x, x);
    feed.record(&column, "");
  }
  Cursor cursor;
  std::map<int, std::string> rows;
  int messages = 0;
  for (bool more = true; more && messages < 100; ++messages) {
    const std::string message = feed.next(cursor);
    EXPECT_LT(message.size(), kRowBudget + 8 * 1024);
    for (const auto& [y, runs] : rowsOf(message)) rows[y] = runs;
    more = field(message, "more") == "true";
  }
  EXPECT_GT(messages, 1);
  ASSERT_EQ(static_cast<std::size_t>(screen::kHeight), rows.size());
  for (int y = 0; y < screen::kHeight; ++y) {
    std::string expected;
    appendRuns(expected, screen.row(y), screen::kWidth);
    ASSERT_EQ(expected, rows[y]) << "row " << y;
  }
}

TEST(Feed, WaitsEndOnNewsDropsTimeOrStop) {
  screen::HeatMap screen;
  Feed feed(screen);
  Cursor cursor;
  // A fresh cursor has news: its first message.
  EXPECT_TRUE(feed.waitForNews(cursor, Feed::Clock::now() + 10s));
  feed.next(cursor);
  auto start = Feed::Clock::now();
  EXPECT_TRUE(feed.waitForNews(cursor, start + 50ms));
  EXPECT_GE(Feed::Clock::now() - start, 50ms);

  std::thread sender([&] {
    std::this_thread::sleep_for(20ms);
    feed.record(nullptr, "x");
  });
  start = Feed::Clock::now();
  EXPECT_TRUE(feed.waitForNews(cursor, start + 30s));
  EXPECT_LT(Feed::Clock::now() - start, 10s);
  sender.join();
  feed.next(cursor);

  // So does a new count of drops, which the next message carries.
  std::thread dropper([&] {
    std::this_thread::sleep_for(20ms);
    feed.setDropped(7);
  });
  start = Feed::Clock::now();
  EXPECT_TRUE(feed.waitForNews(cursor, start + 30s));
  EXPECT_LT(Feed::Clock::now() - start, 10s);
  dropper.join();
  EXPECT_NE(feed.next(cursor).find(",\"dropped\":7,"), std::string::npos);

  // And the model's news, once the feed shows a model.
  const model::Profile profile = model::defaultProfile();
  screen::ModelRunner runner(profile, nullptr, false, Feed::Clock::now());
  feed.showModel(runner);
  feed.next(cursor);
  std::thread modeller([&] {
    std::this_thread::sleep_for(20ms);
    feed.modelChanged();
  });
  start = Feed::Clock::now();
  EXPECT_TRUE(feed.waitForNews(cursor, start + 30s));
  EXPECT_LT(Feed::Clock::now() - start, 10s);
  modeller.join();

  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);
    feed.stop();
  });
  start = Feed::Clock::now();
  EXPECT_FALSE(feed.sleepUntil(start + 30s));
  EXPECT_LT(Feed::Clock::now() - start, 10s);
  stopper.join();
  EXPECT_FALSE(feed.waitForNews(cursor, Feed::Clock::now() + 30s));
}

// The receive loop and viewers at once: every datagram is counted, and what
// each viewer was sent adds up to the screen's counts.
TEST(Feed, RecordsWhileViewersRead) {
  screen::HeatMap screen;
  Feed feed(screen);
  constexpr int kDatagrams = 20000;
  std::atomic<bool> done{false};
  std::thread loop([&] {
    for (int i = 0; i < kDatagrams; ++i) {
      const DmCommand rect = partial(i % 700, i % 1000, i % 700 + 5, i % 1000);
      feed.record(i % 10 == 0 ? nullptr : &rect, "!x");
    }
    done = true;
  });
  std::vector<Cursor> cursors(2);
  std::vector<std::map<int, std::string>> seen(cursors.size());
  std::vector<std::thread> viewers;
  for (std::size_t v = 0; v < cursors.size(); ++v)
    viewers.emplace_back([&, v] {
      while (!done)
        for (const auto& [y, runs] : rowsOf(feed.next(cursors[v])))
          seen[v][y] = runs;
    });
  loop.join();
  for (auto& viewer : viewers) viewer.join();
  for (std::size_t v = 0; v < cursors.size(); ++v) {
    const std::string last = feed.next(cursors[v]);
    EXPECT_EQ("20000", field(last, "received"));
    for (const auto& [y, runs] : rowsOf(last)) seen[v][y] = runs;
    ASSERT_EQ(static_cast<std::size_t>(screen::kHeight), seen[v].size());
    for (int y = 0; y < screen::kHeight; ++y) {
      std::string expected;
      appendRuns(expected, screen.row(y), screen::kWidth);
      ASSERT_EQ(expected, seen[v][y]) << "row " << y;
    }
  }
  Cursor fresh;
  EXPECT_NE(std::string::npos,
            feed.next(fresh).find("\"accepted 18000, refused 2000\""));
}

TEST(AppendGrayRow, RunsOrBase64WhicheverIsShorter) {
  const struct {
    std::vector<uint8_t> row;
    const char* text;
  } kCases[] = {
      {{0}, "0,1"},
      {{255, 255, 255, 7}, "255,3,7,1"},
      {{1, 2, 3}, R"("AQID")"},
      {{1, 2, 3, 4}, R"("AQIDBA==")"},
      {{1, 2, 3, 4, 255}, R"("AQIDBP8=")"},
  };
  for (const auto& c : kCases) {
    std::string out;
    appendGrayRow(out, c.row.data(), c.row.size());
    EXPECT_EQ(c.text, out);
  }
}

// The framebuffer file of a feed's panel, in a scratch directory.
class PanelFeed : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zodm-live-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    std::string problem;
    framebuffer_ = screen::Framebuffer::open(dir_ + "/framebuffer", problem);
    ASSERT_NE(nullptr, framebuffer_) << problem;
    panel_ = std::make_unique<screen::IdealPanel>(*framebuffer_);
  }
  void TearDown() override {
    panel_.reset();
    framebuffer_.reset();
    std::filesystem::remove_all(dir_);
  }
  // Draws gray over (x0,y0)-(x1,y1) of the file, as an application would.
  void draw(int x0, int y0, int x1, int y1, uint8_t gray) const {
    std::fstream file(dir_ + "/framebuffer",
                      std::ios::in | std::ios::out | std::ios::binary);
    const std::string row(static_cast<std::size_t>(x1 - x0 + 1),
                          static_cast<char>(gray));
    for (int y = y0; y <= y1; ++y) {
      file.seekp(static_cast<std::streamoff>(y) * screen::kWidth + x0);
      file.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
  }
  // Each row of the panel, encoded as a message carries it.
  std::map<int, std::string> panelRows() const {
    std::map<int, std::string> rows;
    for (int y = 0; y < screen::kHeight; ++y)
      appendGrayRow(rows[y], panel_->row(y), screen::kWidth);
    return rows;
  }

  std::string dir_;
  std::unique_ptr<screen::Framebuffer> framebuffer_;
  std::unique_ptr<screen::IdealPanel> panel_;
};

TEST_F(PanelFeed, ViewersGetOnlyTheRowsThatChanged) {
  screen::HeatMap screen;
  Feed feed(screen);
  feed.showPanel(*panel_);
  Cursor cursor;
  const std::string first = feed.next(cursor);
  EXPECT_EQ("[[0,1024,255,769]]", field(first, "panel"));
  EXPECT_EQ("[[0,1024,255,769]]", field(first, "drawn"));

  // Drawn, not refreshed: only the framebuffer's rows.
  draw(10, 100, 20, 102, 0);
  feed.lookAtFramebuffer();
  const std::string drawn = feed.next(cursor);
  EXPECT_EQ("[]", field(drawn, "panel"));
  EXPECT_EQ("[[100,102,255,10,0,11,255,748]]", field(drawn, "drawn"));

  // A partial update of two of those rows: only the panel's rows.
  const DmCommand rect = partial(20, 101, 10, 100);
  feed.record(&rect, "");
  const std::string refreshed = feed.next(cursor);
  EXPECT_EQ("[[100,101,255,10,0,11,255,748]]", field(refreshed, "panel"));
  EXPECT_EQ("[]", field(refreshed, "drawn"));

  // An erase: every panel row, as one entry; the framebuffer is unchanged.
  const DmCommand erase{DM_CMD_ERASE_TO_WHITE, 0, 0, 0, 0, 0, 0};
  feed.record(&erase, "");
  const std::string erased = feed.next(cursor);
  EXPECT_EQ("[[0,1024,255,769]]", field(erased, "panel"));
  EXPECT_EQ("[]", field(erased, "drawn"));
  EXPECT_EQ("false", field(erased, "more"));
}

TEST_F(PanelFeed, ABurstOfFullUpdatesCostsOnePanelInBoundedMessages) {
  // Rows of many runs, which go as base64.
  std::string noise(screen::kFramebufferBytes, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i)
    noise[i] = static_cast<char>(i * 2654435761u >> 13);
  std::ofstream(dir_ + "/framebuffer", std::ios::binary) << noise;
  screen::HeatMap screen;
  Feed feed(screen);
  feed.showPanel(*panel_);
  Cursor cursor;
  for (int i = 0; i < 100 && field(feed.next(cursor), "more") == "true"; ++i) {
  }
  const DmCommand full{DM_CMD_DISPLAY, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 200; ++i) feed.record(&full, "");
  std::map<int, std::string> rows;
  std::size_t bytes = 0;
  int messages = 0;
  for (bool more = true; more && messages < 100; ++messages) {
    const std::string message = feed.next(cursor);
    // The budget, a row of each kind past it, and the newest events.
    EXPECT_LT(message.size(), kRowBudget + 8 * 1024 + kEventsPerMessage * 64);
    bytes += message.size();
    for (const auto& [y, row] : rowsOf(message, "panel")) rows[y] = row;
    more = field(message, "more") == "true";
  }
  // About one panel's worth (1025 rows of 1,028 characters), not 200.
  EXPECT_LT(bytes, 1200u * 1024);
  EXPECT_EQ(panelRows(), rows);
}

// The updates a message carries, as "id:state" in order.
std::string updatesOf(const std::string& message) {
  const std::string all = field(message, "updates");
  static const std::regex update(R"x("id":(\d+),"state":"(.)")x");
  std::string out;
  for (auto it = std::sregex_iterator(all.begin(), all.end(), update);
       it != std::sregex_iterator(); ++it)
    out += (out.empty() ? "" : " ") + (*it)[1].str() + ":" + (*it)[2].str();
  return out;
}

DmCommand fast(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  return {DM_CMD_DISPLAY_PARTIAL, 0, 0, x0, y0, x1, y1};  // quality 0: A2
}

// The model's part of the messages: a feed with a panel and a model that
// takes requests at the times given (replayed, without a thread).
class ModelFeed : public PanelFeed {
 protected:
  void SetUp() override {
    PanelFeed::SetUp();
    source_ = std::make_unique<screen::FramebufferSource>(*framebuffer_);
    runner_ = std::make_unique<screen::ModelRunner>(profile_, source_.get(),
                                                    false, Feed::Clock::now());
    feed_ = std::make_unique<Feed>(screen_);
    feed_->showModel(*runner_);
    feed_->showPanel(*panel_);
  }
  void TearDown() override {
    feed_.reset();
    runner_.reset();
    source_.reset();
    PanelFeed::TearDown();
  }
  void submit(model::Micros at, const DmCommand& command) {
    runner_->submit(at, command);
    feed_->record(&command, "");
  }
  // Each row of the model's panel, encoded as a message carries it.
  std::map<int, std::string> modelRows() const {
    return runner_->read([](const model::Model& m) {
      std::map<int, std::string> rows;
      for (int y = 0; y < screen::kHeight; ++y)
        appendGrayRow(rows[y], m.row(y), screen::kWidth);
      return rows;
    });
  }
  std::string cost() const {
    return "{" + model::summaryJson(runner_->read([](const model::Model& m) {
             return m.summary();
           })) +
           "}";
  }

  const model::Profile profile_ = model::defaultProfile();
  screen::HeatMap screen_;
  std::unique_ptr<screen::FramebufferSource> source_;
  std::unique_ptr<screen::ModelRunner> runner_;
  std::unique_ptr<Feed> feed_;
};

TEST_F(ModelFeed, MessagesCarryTheModelsRowsUpdatesAndCost) {
  Cursor cursor;
  const std::string first = feed_->next(cursor);
  EXPECT_EQ(R"(["A2","DU","GC4","DU4","GL16","GC16","INIT"])",
            field(first, "waveforms"));
  EXPECT_EQ("[[0,1024,255,769]]", field(first, "model"));
  EXPECT_EQ("[]", field(first, "updates"));
  EXPECT_EQ(cost(), field(first, "cost"));
  EXPECT_NE("(missing)", field(first, "now"));

  draw(100, 100, 199, 149, 0);
  const struct {
    const char* what;
    model::Micros at;  // of the request; -1: the run ends there instead
    DmCommand command;
    const char* updates;  // those the message carries
    const char* model;    // the model's rows it carries
  } kSteps[] = {
      {"an A2 pass starts", 0, fast(100, 100, 199, 149), "1:r", "[]"},
      {"one over it waits", 10000, fast(150, 120, 300, 130), "2:w", "[]"},
      {"one that touches it merges into it", 20000, fast(301, 125, 310, 125),
       "2:w 3:d", "[]"},
      {"a disjoint one runs at once", 30000, fast(0, 900, 9, 909), "4:r", "[]"},
      {"the run ends: every update completes", -1, {}, "1:d 2:d 4:d", "(rows)"},
      {"nothing new", -2, {}, "", "[]"},
  };
  for (const auto& step : kSteps) {
    SCOPED_TRACE(step.what);
    if (step.at >= 0) submit(step.at, step.command);
    if (step.at == -1) runner_->finish(400000);
    const std::string message = feed_->next(cursor);
    EXPECT_EQ(step.updates, updatesOf(message));
    EXPECT_EQ(cost(), field(message, "cost"));
    if (std::string(step.model) == "(rows)") {
      const std::map<int, std::string> expected = modelRows();
      std::map<int, std::string> sent = rowsOf(message, "model");
      ASSERT_FALSE(sent.empty());
      for (const auto& [y, row] : sent) EXPECT_EQ(expected.at(y), row);
      EXPECT_EQ(100, sent.begin()->first);
      EXPECT_EQ(909, sent.rbegin()->first);
    } else {
      EXPECT_EQ(step.model, field(message, "model"));
    }
  }
  // Times, the merge and the collision as the page draws them.
  Cursor late;
  const std::string all = feed_->next(late);
  for (const char* expected : {
           R"("id":1,"state":"d","rect":[100,100,199,149],"waveform":0,)"
           R"("flash":0,"erase":false,"collided":false,"requests":1,)"
           R"("arrival":0,"start":0,"end":120000,"merged":0})",
           R"("id":2,"state":"d","rect":[150,120,310,130],"waveform":0,)"
           R"("flash":0,"erase":false,"collided":true,"requests":2,)"
           R"("arrival":10000,"start":120000,"end":240000,"merged":0})",
           R"("id":3,"state":"d",)",
           R"("merged":2})",
       })
    EXPECT_NE(std::string::npos, all.find(expected)) << expected;
  EXPECT_EQ(modelRows(), rowsOf(all, "model"));
}

TEST_F(ModelFeed, AViewerFarBehindGetsTheHistoryTheModelKeeps) {
  Cursor cursor;
  feed_->next(cursor);
  // Single pixels two apart: none touches another, so none merges.
  constexpr int kUpdates = 600;
  for (int i = 0; i < kUpdates; ++i)
    submit(i * 1000, fast(i % 300 * 2, i / 300 * 2, i % 300 * 2, i / 300 * 2));
  runner_->finish(kUpdates * 1000);
  const std::string message = feed_->next(cursor);
  const std::string ids = updatesOf(message);
  const auto kept = static_cast<int>(model::Model::kHistory);
  EXPECT_EQ(std::to_string(kUpdates - kept + 1), field(message, "oldest"));
  EXPECT_EQ(0u, ids.find(std::to_string(kUpdates - kept + 1) + ":d "));
  EXPECT_EQ(static_cast<std::size_t>(kept),
            std::count(ids.begin(), ids.end(), ':'));
  EXPECT_EQ(std::string::npos, ids.find(":r"));
  EXPECT_LT(message.size(), kRowBudget);
  EXPECT_NE(std::string::npos, field(message, "cost").find("\"updates\":600,"));
  EXPECT_EQ("", updatesOf(feed_->next(cursor)));
}

}  // namespace
}  // namespace zodm::live
