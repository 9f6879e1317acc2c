// SPDX-License-Identifier: MIT
// The framebuffer file and the panel it feeds, without sockets: files are
// made in a scratch directory and drawn into with plain writes, as an
// application that does not map them would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "idealPanel.h"

namespace zodm::screen {
namespace {

constexpr DmCommand partial(int32_t xUp, int32_t yUp, int32_t xDown,
                            int32_t yDown) {
  return {DM_CMD_DISPLAY_PARTIAL, 0, 0, xUp, yUp, xDown, yDown};
}

class FramebufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zodm-framebuffer-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    path_ = dir_ / "framebuffer";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Writes size bytes of gray to path.
  static void make(const std::filesystem::path& path, std::size_t size,
                   uint8_t gray = kWhite) {
    std::ofstream(path, std::ios::binary)
        << std::string(size, static_cast<char>(gray));
  }
  // Draws, as an application would: gray over (x0,y0)-(x1,y1).
  void draw(int x0, int y0, int x1, int y1, uint8_t gray) const {
    const int fd = ::open(path_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string row(static_cast<std::size_t>(x1 - x0 + 1),
                          static_cast<char>(gray));
    for (int y = y0; y <= y1; ++y)
      ASSERT_EQ(static_cast<ssize_t>(row.size()),
                pwrite(fd, row.data(), row.size(),
                       static_cast<off_t>(y) * kWidth + x0));
    close(fd);
  }

  std::filesystem::path dir_;
  std::filesystem::path path_;
};

TEST_F(FramebufferTest, CreatedWhiteWhenMissing) {
  std::string problem;
  const auto framebuffer = Framebuffer::open(path_, problem);
  ASSERT_NE(nullptr, framebuffer) << problem;
  EXPECT_EQ(kFramebufferBytes, std::filesystem::file_size(path_));
  const std::vector<uint8_t> pixels(framebuffer->pixels(),
                                    framebuffer->pixels() + kFramebufferBytes);
  EXPECT_EQ(std::vector<uint8_t>(kFramebufferBytes, kWhite), pixels);
  // Nothing is left beside it.
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir_),
                             std::filesystem::directory_iterator()));
  // The application's writes show through the mapping.
  draw(5, 7, 5, 7, 42);
  EXPECT_EQ(42, framebuffer->row(7)[5]);
  EXPECT_TRUE(framebuffer->intact());
  std::filesystem::resize_file(path_, 10);
  EXPECT_FALSE(framebuffer->intact());
}

TEST_F(FramebufferTest, UnusableFilesAreRefused) {
  const auto size = [&](std::size_t bytes) {
    return [this, bytes] { make(path_, bytes); };
  };
  const struct {
    const char* name;
    std::function<void()> prepare;
    std::string problem;
  } kCases[] = {
      {"empty", size(0),
       "it is 0 bytes long, not 788225 (769 x 1025 pixels, one byte each)"},
      {"a byte short", size(kFramebufferBytes - 1),
       "it is 788224 bytes long, not 788225 (769 x 1025 pixels, one byte "
       "each)"},
      {"a byte long", size(kFramebufferBytes + 1),
       "it is 788226 bytes long, not 788225 (769 x 1025 pixels, one byte "
       "each)"},
      {"a directory", [&] { std::filesystem::create_directory(path_); },
       "it is a directory"},
      {"in no directory", [&] { path_ = dir_ / "missing" / "framebuffer"; },
       "No such file or directory"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(path_);
    c.prepare();
    std::string problem;
    EXPECT_EQ(nullptr, Framebuffer::open(path_, problem));
    EXPECT_EQ(c.problem, problem);
  }
}

TEST_F(FramebufferTest, PanelShowsWhatTheRequestsRefreshed) {
  make(path_, kFramebufferBytes, 90);
  std::string problem;
  const auto framebuffer = Framebuffer::open(path_, problem);
  ASSERT_NE(nullptr, framebuffer) << problem;
  IdealPanel panel(*framebuffer);
  const struct {
    DmCommand command;
    unsigned long long changes;
    // A pixel and what it shows after the command.
    int x, y;
    uint8_t shown;
  } kSteps[] = {
      {partial(200, 300, 10, 20), 1, 10, 20, 90},  // corners reversed
      {partial(200, 300, 10, 20), 2, 200, 300, 90},
      {partial(200, 300, 10, 20), 3, 9, 20, kWhite},
      {partial(200, 300, 10, 20), 4, 201, 300, kWhite},
      {{DM_CMD_DUMP, 7, 0, 0, 0, 0, 0}, 4, 0, 0, kWhite},
      {{DM_CMD_DISPLAY, 0, 0, 0, 0, 0, 0}, 5, 768, 1024, 90},
      {{DM_CMD_ERASE_TO_WHITE, 0, 0, 0, 0, 0, 0}, 6, 100, 100, kWhite},
      {partial(-5, -5, 100000, 2), 7, 768, 2, 90},  // cut to the area
  };
  for (const auto& s : kSteps) {
    SCOPED_TRACE(std::to_string(s.changes));
    panel.apply(s.command);
    EXPECT_EQ(s.changes, panel.changes());
    EXPECT_EQ(s.shown, panel.at(s.x, s.y));
  }
  EXPECT_EQ(7u, panel.rowChange(0));
  EXPECT_EQ(7u, panel.rowChange(2));
  EXPECT_EQ(6u, panel.rowChange(3));
  // The erase left the framebuffer as it was.
  EXPECT_EQ(90, framebuffer->row(500)[500]);

  // A partial update copies the framebuffer as it is when it is handled.
  draw(0, 400, 768, 410, 0);
  panel.apply(partial(300, 405, 310, 405));
  EXPECT_EQ(0, panel.at(300, 405));
  EXPECT_EQ(kWhite, panel.at(299, 405));
  EXPECT_EQ(kWhite, panel.at(300, 404));
  EXPECT_EQ(8u, panel.rowChange(405));
  EXPECT_EQ(6u, panel.rowChange(404));

  // Stale: drawn, not shown.
  // Everything but rows 0..2 and the last rectangle, since the erase.
  EXPECT_EQ("785907 pixels stale in (0,3)-(768,1024)",
            describeStale(findStale(panel.pixels(), framebuffer->pixels())));

  // Cut short, the framebuffer is not read, so nothing faults.
  std::filesystem::resize_file(path_, 100);
  panel.apply({DM_CMD_DISPLAY, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(1u, panel.unread());
  EXPECT_EQ(kWhite, panel.at(500, 500));
}

// An application that writes the file anew (truncating it first) while it
// is read: a read may fail, but never faults.
TEST_F(FramebufferTest, CopiesSurviveTheFileBeingCutShort) {
  std::string problem;
  const auto framebuffer = Framebuffer::open(path_, problem);
  ASSERT_NE(nullptr, framebuffer) << problem;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    const int fd = ::open(path_.c_str(), O_WRONLY);
    while (!done) {
      EXPECT_EQ(0, ftruncate(fd, 0));
      EXPECT_EQ(0, ftruncate(fd, static_cast<off_t>(kFramebufferBytes)));
    }
    close(fd);
  });
  std::vector<uint8_t> to(kFramebufferBytes);
  int failed = 0;
  for (int i = 0; i < 2000; ++i)
    if (!framebuffer->copy(geometry::kWholeArea, to.data())) ++failed;
  done = true;
  writer.join();
  EXPECT_GT(failed, 0);
  EXPECT_TRUE(framebuffer->copy(geometry::kWholeArea, to.data()));
}

TEST(Stale, CountsAndBounds) {
  std::vector<uint8_t> shown(kFramebufferBytes, kWhite);
  std::vector<uint8_t> drawn(shown);
  EXPECT_EQ("no pixel is stale",
            describeStale(findStale(shown.data(), drawn.data())));
  drawn[0] = 0;
  EXPECT_EQ("1 pixel stale in (0,0)-(0,0)",
            describeStale(findStale(shown.data(), drawn.data())));
  drawn[kFramebufferBytes - 1] = 0;
  shown[5 * kWidth + 700] = 3;
  const Stale stale = findStale(shown.data(), drawn.data());
  EXPECT_EQ(3u, stale.pixels);
  EXPECT_EQ("3 pixels stale in (0,0)-(768,1024)", describeStale(stale));
}

}  // namespace
}  // namespace zodm::screen
