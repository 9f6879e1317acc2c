// SPDX-License-Identifier: MIT
// The panel's part of the feed's messages: the panel's rows and the
// framebuffer's, each sent when it changed.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "feed.h"
#include "feed_testing.h"

namespace zodm::live {
namespace {

TEST_F(PanelFeed, ViewersGetOnlyTheRowsThatChanged) {
  screen::HeatMap heatMap;
  Feed feed(heatMap);
  feed.showPanel(*panel_);
  Cursor cursor;
  const Message first(feed.nextMessage(cursor));
  EXPECT_EQ("[[0,1024,255,769]]", first["panel"]);
  EXPECT_EQ("[[0,1024,255,769]]", first["drawn"]);

  const struct {
    const char* what;
    void (*act)(PanelFeed&, Feed&);
    const char* panel;  // the rows each member carries
    const char* drawn;
  } kSteps[] = {
      {"drawn, not refreshed: only the framebuffer's rows",
       [](PanelFeed& t, Feed& f) {
         t.draw(10, 100, 20, 102, 0);
         f.lookAtFramebuffer();
       },
       "[]", "[[100,102,255,10,0,11,255,748]]"},
      {"a partial update of two of those rows: only the panel's rows",
       [](PanelFeed&, Feed& f) { f.record(partial(20, 101, 10, 100), ""); },
       "[[100,101,255,10,0,11,255,748]]", "[]"},
      {"an erase: every panel row, as one entry; the framebuffer is unchanged",
       [](PanelFeed&, Feed& f) {
         f.record(DmCommand{DM_CMD_ERASE_TO_WHITE, 0, 0, 0, 0, 0, 0}, "");
       },
       "[[0,1024,255,769]]", "[]"},
  };
  for (const auto& step : kSteps) {
    SCOPED_TRACE(step.what);
    step.act(*this, feed);
    const Message message(feed.nextMessage(cursor));
    EXPECT_EQ(step.panel, message["panel"]);
    EXPECT_EQ(step.drawn, message["drawn"]);
    EXPECT_EQ("false", message["more"]);
  }
}

TEST_F(PanelFeed, ABurstOfFullUpdatesCostsOnePanelInBoundedMessages) {
  // Rows of many runs, which go as base64.
  std::string noise(screen::kFramebufferBytes, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i)
    noise[i] = static_cast<char>(i * 2654435761u >> 13);
  std::ofstream(dir_ + "/framebuffer", std::ios::binary) << noise;
  screen::HeatMap heatMap;
  Feed feed(heatMap);
  feed.showPanel(*panel_);
  Cursor cursor;
  for (int i = 0;
       i < 100 && Message(feed.nextMessage(cursor))["more"] == "true"; ++i) {
  }
  const DmCommand full{DM_CMD_DISPLAY, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 200; ++i) feed.record(full, "");
  std::map<int, std::string> rows;
  std::size_t bytes = 0;
  int messages = 0;
  for (bool more = true; more && messages < 100; ++messages) {
    const Message message(feed.nextMessage(cursor));
    // The budget, a row of each kind past it, and the newest events.
    EXPECT_LT(message.text().size(),
              kRowBudget + 8 * 1024 + kEventsPerMessage * 64);
    bytes += message.text().size();
    for (const auto& [y, row] : message.rows("panel")) rows[y] = row;
    more = message["more"] == "true";
  }
  // About one panel's worth (1025 rows of 1,028 characters), not 200.
  EXPECT_LT(bytes, 1200u * 1024);
  EXPECT_EQ(panelRows(), rows);
}

}  // namespace
}  // namespace zodm::live
