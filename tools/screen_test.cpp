// The emulator's state, totals and picture, without sockets: the picture is
// written as PNG and its pixels are read back with cairo.
#include "screen.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace zodm::screen {
namespace {

constexpr DmCommand partial(int32_t xUp, int32_t yUp, int32_t xDown,
                            int32_t yDown, int32_t priority = 0,
                            int32_t quality = 0) {
  return {DM_CMD_DISPLAY_PARTIAL, priority, quality, xUp, yUp, xDown, yDown};
}

// The fixed sequence: a partial update given with its corners reversed, a
// full update, an overlapping partial update, an erase, a dump, two refusals.
Screen sequence() {
  Screen s(1);
  s.apply(partial(200, 300, 10, 20, 2, 1));            // #1: (10,20)-(200,300)
  s.apply({DM_CMD_DISPLAY, 1, 2, 0, 0, 0, 0});         // #2
  s.apply(partial(50, 100, 150, 250, 2, 3));           // #3
  s.apply({DM_CMD_ERASE_TO_WHITE, 3, 0, 0, 0, 0, 0});  // #4
  s.apply({DM_CMD_DUMP, 7, 0, 0, 0, 0, 0});            // #5: refreshes nothing
  s.refuse();
  s.refuse();
  return s;
}

TEST(Screen, CountsAndLastRequestPerCell) {
  const Screen s = sequence();
  const struct {
    int x, y;
    uint16_t count;
    Kind kind;
    unsigned long long request;
  } kCells[] = {
      {0, 0, 2, Kind::Erase, 4},     {768, 1024, 2, Kind::Erase, 4},
      {10, 20, 3, Kind::Erase, 4},    // the reversed rectangle's corners
      {200, 300, 3, Kind::Erase, 4},  // are both inside it
      {9, 20, 2, Kind::Erase, 4},    {200, 301, 2, Kind::Erase, 4},
      {100, 150, 4, Kind::Erase, 4},  // in both rectangles
      {150, 250, 4, Kind::Erase, 4},
  };
  for (const auto& c : kCells) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    EXPECT_EQ(c.count, s.count(c.x, c.y));
    EXPECT_EQ(c.kind, s.lastKind(c.x, c.y));
    EXPECT_EQ(c.request, s.lastRequest(c.x, c.y));
  }
  EXPECT_EQ(4, s.maxCount());

  Screen partialOnly;
  partialOnly.apply(partial(768, 1024, 700, 1000));
  EXPECT_EQ(Kind::Partial, partialOnly.lastKind(768, 1024));
  EXPECT_EQ(Kind::None, partialOnly.lastKind(699, 1024));
  EXPECT_EQ(0u, partialOnly.lastRequest(699, 1024));
}

TEST(Screen, CaptionTotals) {
  EXPECT_EQ(std::vector<std::string>({
                "accepted 5, refused 2",
                "full updates 1, partial 2, erases 1, dumps 1",
                "by priority 0: 0, 1: 1, 2: 2, 3: 1",
                "by quality 0: 0, 1: 1, 2: 1, 3: 1",
                "most refreshed cell: 4 times",
            }),
            sequence().caption());
}

TEST(Screen, CountsSaturateAndMemoryStaysFixed) {
  Screen s(3);
  for (int i = 0; i < 70000; ++i) s.apply(partial(0, 0, 1, 1));
  EXPECT_EQ(kMaxCount, s.count(1, 1));
  EXPECT_EQ(kMaxCount, s.maxCount());
  EXPECT_EQ(0, s.count(2, 2));
  // Only the last three rectangles are kept, oldest first.
  ASSERT_EQ(3u, s.recent().size());
  EXPECT_EQ(69998u, s.recent().front().request);
  EXPECT_EQ(70000u, s.recent().back().request);
  // Corners outside the area are cut to it rather than written past it.
  s.apply(partial(-5, -5, 100000, 2));
  EXPECT_EQ(1, s.count(768, 2));
  EXPECT_EQ(Screen(1000).recentCapacity(), kMaxRecent);
}

// Reads the picture at path back and returns its pixel at (x, y) as 0xRRGGBB.
class Picture {
 public:
  explicit Picture(const std::string& path)
      : surface_(cairo_image_surface_create_from_png(path.c_str())) {}
  bool ok() const {
    return cairo_surface_status(surface_.get()) == CAIRO_STATUS_SUCCESS;
  }
  int width() const { return cairo_image_surface_get_width(surface_.get()); }
  int height() const { return cairo_image_surface_get_height(surface_.get()); }
  uint32_t at(int x, int y) const {
    const unsigned char* row =
        cairo_image_surface_get_data(surface_.get()) +
        static_cast<std::ptrdiff_t>(y) *
            cairo_image_surface_get_stride(surface_.get());
    return reinterpret_cast<const uint32_t*>(row)[x] & 0xffffff;
  }
  uint32_t cell(int x, int y) const { return at(kOriginX + x, kOriginY + y); }

 private:
  Surface surface_;
};

// Each channel of actual is within 2 of expected.
::testing::AssertionResult near(uint32_t expected, uint32_t actual) {
  for (int shift = 0; shift < 24; shift += 8) {
    const int e = static_cast<int>(expected >> shift & 0xff);
    const int a = static_cast<int>(actual >> shift & 0xff);
    if (std::abs(e - a) > 2)
      return ::testing::AssertionFailure()
             << std::hex << "expected 0x" << expected << ", got 0x" << actual;
  }
  return ::testing::AssertionSuccess();
}

class PictureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zodm-screen-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(PictureTest, ColoursAtChosenCells) {
  const std::string path = dir_ / "screen.png";
  ASSERT_EQ("", writePicture(Screen(), path));
  {
    const Picture empty(path);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(kPictureWidth, empty.width());
    EXPECT_EQ(kPictureHeight, empty.height());
    EXPECT_TRUE(near(0xffffff, empty.cell(5, 5)));  // never refreshed
    EXPECT_TRUE(near(0xffffff, empty.cell(768, 1024)));
    EXPECT_TRUE(
        near(0xf0f0f0, empty.at(kPictureWidth - 4, kPictureHeight - 4)));
  }

  ASSERT_EQ("", writePicture(sequence(), path));
  const Picture p(path);
  ASSERT_TRUE(p.ok());
  // Darkest colour for the most refreshed cells (4), lighter for fewer, on
  // a logarithmic scale: 2 of 4 sits halfway, 3 of 4 at 0.79.
  EXPECT_TRUE(near(0x800026, p.cell(100, 150)));
  EXPECT_TRUE(near(0x800026, p.cell(140, 240)));
  EXPECT_TRUE(near(0xf77636, p.cell(600, 900)));
  EXPECT_TRUE(near(0xf77636, p.cell(0, 1024)));
  EXPECT_TRUE(near(0xc62522, p.cell(180, 280)));
  // Only the newest partial rectangle (#3) is outlined, inside its cells.
  EXPECT_TRUE(near(0x0059ff, p.cell(51, 200)));
  EXPECT_TRUE(near(0x0059ff, p.cell(149, 200)));
  EXPECT_TRUE(near(0xc62522, p.cell(11, 200)));  // #1's edge: no outline
  // No file is left behind beside the picture.
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir_),
                             std::filesystem::directory_iterator()));
}

TEST_F(PictureTest, UnwritablePathIsReported) {
  const std::string path = dir_ / "missing" / "screen.png";
  EXPECT_EQ("No such file or directory", writePicture(Screen(), path));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

TEST(HeatColour, EndsOfTheScale) {
  const auto rgb = [](const Rgb& c) {
    return static_cast<uint32_t>(std::lround(c.r * 255)) << 16 |
           static_cast<uint32_t>(std::lround(c.g * 255)) << 8 |
           static_cast<uint32_t>(std::lround(c.b * 255));
  };
  EXPECT_EQ(0xffffffu, rgb(heatColour(0, 5)));
  EXPECT_EQ(0xffeda0u, rgb(heatColour(1, 5)));  // 1 is always the lightest
  EXPECT_EQ(0xffeda0u, rgb(heatColour(1, 1)));
  EXPECT_EQ(0x800026u, rgb(heatColour(5, 5)));
  EXPECT_EQ(0x800026u, rgb(heatColour(kMaxCount, kMaxCount)));
}

// Font caches are freed at the end, so a leak checker sees none.
class ReleaseStaticData : public ::testing::Environment {
 public:
  void TearDown() override { releaseStaticData(); }
};
const auto* const kRelease =
    ::testing::AddGlobalTestEnvironment(new ReleaseStaticData);

}  // namespace
}  // namespace zodm::screen
