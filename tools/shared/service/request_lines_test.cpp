// SPDX-License-Identifier: MIT
// The line a service prints per datagram, in both forms: what a recording
// holds and a replay must print again byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "requestLines.h"

namespace zodm::tools {
namespace {

TEST(RequestLine, TextAndJson) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    std::optional<DmCommand> accepted;
    const char* line;
    const char* json;
  } kCases[] = {
      {"!0,1,2", DmCommand{DM_CMD_DISPLAY, 1, 2, 0, 0, 0, 0},
       "display priority=1 quality=2",
       "{\"t\":1.000002,\"accepted\":true,\"request\":\"display\","
       "\"priority\":1,\"quality\":2,\"text\":\"!0,1,2\"}"},
      {"!1,2,1,100,200,0,0",
       DmCommand{DM_CMD_DISPLAY_PARTIAL, 2, 1, 100, 200, 0, 0},
       "partial priority=2 quality=1 rect=(100,200)-(0,0)",
       "{\"t\":1.000002,\"accepted\":true,\"request\":\"partial\","
       "\"priority\":2,\"quality\":1,\"xUp\":100,\"yUp\":200,\"xDown\":0,"
       "\"yDown\":0,\"text\":\"!1,2,1,100,200,0,0\"}"},
      {"!2,7", DmCommand{DM_CMD_DUMP, 7, 0, 0, 0, 0, 0}, "dump argument=7",
       "{\"t\":1.000002,\"accepted\":true,\"request\":\"dump\","
       "\"argument\":7,\"text\":\"!2,7\"}"},
      {"!3,1\0xy"s, DmCommand{DM_CMD_ERASE_TO_WHITE, 1, 0, 0, 0, 0, 0},
       "erase priority=1 (cut at a NUL; 2 bytes followed)",
       "{\"t\":1.000002,\"accepted\":true,\"request\":\"erase\","
       "\"priority\":1,\"text\":\"!3,1\\u0000xy\",\"after_nul\":2}"},
      {"!0,7,\"9\"\n", std::nullopt, "refused \"!0,7,\\\"9\\\"\\n\"",
       "{\"t\":1.000002,\"accepted\":false,"
       "\"text\":\"!0,7,\\\"9\\\"\\n\"}"},
      {"\0"s, std::nullopt,
       "refused \"\\x00\" (cut at a NUL; 0 bytes followed)",
       "{\"t\":1.000002,\"accepted\":false,\"text\":\"\\u0000\","
       "\"after_nul\":0}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    const Received received{1000002, c.text, c.accepted, {}};
    EXPECT_EQ(c.line, requestLine(received, false));
    EXPECT_EQ(c.json, requestLine(received, true));
  }
}

// A tool's own members close the JSON object, after "after_nul"; the text
// form has none.
TEST(RequestLine, Members) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    std::optional<DmCommand> accepted;
    const char* members;
    const char* json;
  } kCases[] = {
      {"!3,1", DmCommand{DM_CMD_ERASE_TO_WHITE, 1, 0, 0, 0, 0, 0},
       ",\"refresh\":3",
       "{\"t\":0.000007,\"accepted\":true,\"request\":\"erase\","
       "\"priority\":1,\"text\":\"!3,1\",\"refresh\":3}"},
      {"!3,1\0x"s, DmCommand{DM_CMD_ERASE_TO_WHITE, 1, 0, 0, 0, 0, 0},
       ",\"a\":1,\"b\":2",
       "{\"t\":0.000007,\"accepted\":true,\"request\":\"erase\","
       "\"priority\":1,\"text\":\"!3,1\\u0000x\",\"after_nul\":1,\"a\":1,"
       "\"b\":2}"},
      {"x", std::nullopt, "",
       "{\"t\":0.000007,\"accepted\":false,\"text\":\"x\"}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.json);
    const Received received{7, c.text, c.accepted, {}};
    EXPECT_EQ(c.json, requestLine(received, true, c.members));
    EXPECT_EQ(requestLine(received, false),
              requestLine(received, false, c.members));
  }
}

// A recorder's pixels go between the request's values and its text; their
// rectangle's corners in order, whatever order the request gave them in.
TEST(RequestLine, PixelsBeforeTheText) {
  const DmCommand partial{DM_CMD_DISPLAY_PARTIAL, 2, 1, 100, 200, 0, 0};
  const struct {
    bool error;
    std::string_view value;
    const char* line;
  } kCases[] = {
      {false, "eJwLAQ==",
       "{\"t\":0.000007,\"accepted\":true,\"request\":\"partial\","
       "\"priority\":2,\"quality\":1,\"xUp\":100,\"yUp\":200,\"xDown\":0,"
       "\"yDown\":0,\"rect\":[0,0,100,200],\"pixels\":\"eJwLAQ==\","
       "\"text\":\"!1,2,1,100,200,0,0\"}"},
      {true, "cannot ask it for its screen: \"No\" device",
       "{\"t\":0.000007,\"accepted\":true,\"request\":\"partial\","
       "\"priority\":2,\"quality\":1,\"xUp\":100,\"yUp\":200,\"xDown\":0,"
       "\"yDown\":0,\"rect\":[0,0,100,200],\"pixels_error\":"
       "\"cannot ask it for its screen: \\\"No\\\" device\","
       "\"text\":\"!1,2,1,100,200,0,0\"}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    std::string members;
    const geometry::Rect rect = geometry::partialRect(partial);
    if (c.error)
      appendPixelsError(members, rect, c.value);
    else
      appendPixels(members, rect, c.value);
    const Received received{7, "!1,2,1,100,200,0,0", partial, members};
    EXPECT_EQ(c.line, requestLine(received, true));
    // The text form shows no pixels.
    EXPECT_EQ("partial priority=2 quality=1 rect=(100,200)-(0,0)",
              requestLine(received, false));
  }
}

}  // namespace
}  // namespace zodm::tools
