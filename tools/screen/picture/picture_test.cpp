// SPDX-License-Identifier: MIT
// The picture of the emulator's state: written as PNG, its pixels are read
// back with cairo.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "heatMapPicture.h"
#include "heatMapSequence.h"

namespace zodm::screen {
namespace {

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
  ASSERT_EQ("", writePicture(HeatMap(), path));
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

// The labels of overlapping rectangles never hide each other: however the
// rectangles lie, no two labels share a pixel, each lies in the display
// area, and the newest, and any that nothing hides, sit at their corner.
TEST(PlaceLabels, NoneHidesAnother) {
  const auto same = [](std::size_t n, Rect r) {
    return std::vector<Rect>(n, r);
  };
  const auto nested = [](int n) {
    std::vector<Rect> out;
    for (int k = n; k >= 1; --k) out.push_back({0, 0, k * 40, k * 40});
    return out;
  };
  const struct {
    const char* name;
    std::vector<Rect> rects;
    bool allAtCorners;
  } kCases[] = {
      {"eight the same", same(8, {100, 100, 300, 300}), false},
      {"nested at one corner", nested(8), false},
      {"two pixels high, the same", same(6, {10, 500, 400, 501}), false},
      {"thirty the same", same(30, {100, 100, 300, 400}), false},
      {"apart", {{0, 0, 99, 99}, {200, 0, 299, 99}, {0, 300, 99, 399}}, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::vector<double> widths(c.rects.size(), 24);
    const std::vector<LabelBox> boxes = placeLabels(c.rects, widths, 15);
    ASSERT_EQ(c.rects.size(), boxes.size());
    const auto atCorner = [&](std::size_t i) {
      return boxes[i].x == kOriginX + c.rects[i].x0 + 4 &&
             boxes[i].y == kOriginY + c.rects[i].y0 + 4;
    };
    EXPECT_TRUE(atCorner(boxes.size() - 1));  // the newest
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      if (c.allAtCorners) {
        EXPECT_TRUE(atCorner(i)) << i;
      }
      EXPECT_GE(boxes[i].x, kOriginX);
      EXPECT_GE(boxes[i].y, kOriginY);
      EXPECT_LE(boxes[i].y + boxes[i].height, kOriginY + kHeight) << i;
      for (std::size_t j = 0; j < i; ++j) {
        const LabelBox& a = boxes[i];
        const LabelBox& b = boxes[j];
        EXPECT_TRUE(a.x + a.width <= b.x || b.x + b.width <= a.x ||
                    a.y + a.height <= b.y || b.y + b.height <= a.y)
            << i << " and " << j;
      }
    }
  }
}

TEST_F(PictureTest, UnwritablePathIsReported) {
  const std::string path = dir_ / "missing" / "screen.png";
  EXPECT_EQ("No such file or directory", writePicture(HeatMap(), path));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
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
