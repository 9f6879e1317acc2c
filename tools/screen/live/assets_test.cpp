// SPDX-License-Identifier: MIT
// The page's files, as built in: they draw the area at the emulator's
// size, which the stream does not repeat.
#include "assets.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "area.h"

namespace zodm::live {
namespace {

TEST(PageFiles, DrawTheAreaAtItsSize) {
  const std::string width = std::to_string(geometry::kWidth);
  const std::string height = std::to_string(geometry::kHeight);
  const std::string script(pageScript());
  EXPECT_NE(std::string::npos, script.find("const W = " + width + ";"));
  EXPECT_NE(std::string::npos, script.find("const H = " + height + ";"));
  // Every canvas of the area, and the style's proportions.
  const std::string html(pageHtml());
  static const std::regex canvas(
      R"x(<canvas id="(\w+)" width="(\d+)" height="(\d+)">)x");
  int area = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), canvas);
       it != std::sregex_iterator(); ++it) {
    const std::string id = (*it)[1];
    if (id == "scale" || id == "timeline") continue;
    SCOPED_TRACE(id);
    EXPECT_EQ(width, (*it)[2]);
    EXPECT_EQ(height, (*it)[3]);
    ++area;
  }
  EXPECT_EQ(5, area);  // heat, flash, panel, invert, stale
  const std::string style(pageStyle());
  EXPECT_NE(std::string::npos,
            style.find("aspect-ratio: " + width + " / " + height + ";"));
}

}  // namespace
}  // namespace zodm::live
