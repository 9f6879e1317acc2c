// SPDX-License-Identifier: MIT
// What the feed's tests share: a message read back, and a feed's panel on
// a framebuffer file of a scratch directory.
#ifndef ZODM_TOOLS_LIVE_FEED_TESTING_H
#define ZODM_TOOLS_LIVE_FEED_TESTING_H

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "feed.h"
#include "framebuffer.h"
#include "idealPanel.h"

namespace zodm::live {

// A message of the feed, read back. Where the build has a JSON reader
// (nlohmann-json), the message is parsed whole, and a message that is not
// JSON fails the test; members are then found by the parse, and written
// back as the feed writes them. Without one, a member is the text after
// its name, up to the next comma at its depth.
class Message {
 public:
  explicit Message(std::string text);
  ~Message();
  Message(Message&&) noexcept;
  Message& operator=(Message&&) noexcept;

  const std::string& text() const { return text_; }
  // The value of the top-level member name, as the feed writes it;
  // "(missing)" without one.
  std::string operator[](std::string_view name) const;
  // A member of [first, last, row...] entries, by row: the row's text, as
  // appendRuns or appendGrayRow writes it.
  std::map<int, std::string> rows(std::string_view name = "rows") const;
  // The "updates": "id:state" of each, in order, separated by spaces.
  std::string updates() const;

 private:
  struct Parsed;
  std::string text_;
  std::unique_ptr<Parsed> parsed_;
};

// The framebuffer file of a feed's panel, in a scratch directory.
class PanelFeed : public ::testing::Test {
 public:
  // Draws gray over (x0,y0)-(x1,y1) of the file, as an application would.
  void draw(int x0, int y0, int x1, int y1, uint8_t gray) const;
  // Each row of the panel, encoded as a message carries it.
  std::map<int, std::string> panelRows() const;

 protected:
  void SetUp() override;
  void TearDown() override;

  std::string dir_;
  std::unique_ptr<screen::Framebuffer> framebuffer_;
  std::unique_ptr<screen::IdealPanel> panel_;
};

// An accepted partial update, priority 1, quality 2.
inline DmCommand partial(int32_t xUp, int32_t yUp, int32_t xDown,
                         int32_t yDown) {
  return {DM_CMD_DISPLAY_PARTIAL, 1, 2, xUp, yUp, xDown, yDown};
}

}  // namespace zodm::live

#endif  // ZODM_TOOLS_LIVE_FEED_TESTING_H
