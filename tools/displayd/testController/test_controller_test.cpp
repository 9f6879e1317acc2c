// SPDX-License-Identifier: MIT
// The framebuffer device through the test controller (run with
// libzodm_test_controller.so preloaded): what it answers for the fake path
// and passes on for every other, and PanelDevice and the update queue on
// it, each layout's update decoded by the controller's own offsets.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "panelDevice.h"
#include "updateQueue.h"

namespace zodm::displayd {
namespace {

constexpr const char* kSettings[] = {
    "ZODM_TEST_FB_LAYOUT",    "ZODM_TEST_FB_GEOMETRY", "ZODM_TEST_FB_ID",
    "ZODM_TEST_FB_DURATIONS", "ZODM_TEST_FB_EPERM",    "ZODM_TEST_FB_WAIT",
    "ZODM_TEST_FB_STAMP"};

std::size_t openDescriptors() {
  std::size_t n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

// A directory of the test's own with the fake path's name and the log.
class TestController : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/zodm-test-controller-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    fb_ = dir_ + "/fb0";
    log_ = dir_ + "/log";
    setenv("ZODM_TEST_FB", fb_.c_str(), 1);
    setenv("ZODM_TEST_FB_LOG", log_.c_str(), 1);
    for (const char* name : kSettings) unsetenv(name);
  }
  void TearDown() override {
    std::remove(log_.c_str());
    std::remove((dir_ + "/file").c_str());
    rmdir(dir_.c_str());
  }
  std::vector<std::string> logged() {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::remove(log_.c_str());
    return lines;
  }
  std::unique_ptr<PanelDevice> device(const char* layout) {
    std::string error;
    auto d = PanelDevice::open(fb_, *findController(layout), error);
    EXPECT_EQ(error, "") << "is libzodm_test_controller.so preloaded?";
    return d;
  }

  std::string dir_, fb_, log_;
};

TEST_F(TestController, AnswersWithItsGeometry) {
  const struct {
    const char* geometry;
    const char* id;
    uint32_t xres, yres, bpp, line, memory;
    const char* shownId;
  } kCases[] = {
      {nullptr, nullptr, 1072, 1448, 8, 1072, 1072 * 1448, "mxc_epdc_fb"},
      {"1264x1680x32",
       "hw\x01"
       "con",
       1264, 1680, 32, 5056, 5056 * 1680, "hw?con"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.geometry ? c.geometry : "default");
    if (c.geometry) setenv("ZODM_TEST_FB_GEOMETRY", c.geometry, 1);
    if (c.id) setenv("ZODM_TEST_FB_ID", c.id, 1);
    const auto d = device("mxcfb-nxp");
    ASSERT_NE(d, nullptr);
    const Geometry& g = d->geometry();
    EXPECT_EQ(g.xres, c.xres);
    EXPECT_EQ(g.yres, c.yres);
    EXPECT_EQ(g.bitsPerPixel, c.bpp);
    EXPECT_EQ(g.lineLength, c.line);
    EXPECT_EQ(g.memoryLength, c.memory);
    EXPECT_EQ(g.id, c.shownId);
  }
}

TEST_F(TestController, DecodesEveryLayout) {
  const PanelUpdate u{10, 20, 101, 201, 4, UPDATE_MODE_PARTIAL, 7, 4096, 2};
  const std::string head =
      "top=10 left=20 width=101 height=201 waveform=4 mode=0 marker=7 ";
  const struct {
    const char* layout;
    std::string line;
  } kCases[] = {
      {"mxcfb-nxp", "update size=72 " + head +
                        "temp=4096 flags=2 dither=0 "
                        "quant=0"},
      {"mxcfb-kobo-ntx", "update size=68 " + head + "temp=4096 flags=2"},
      {"mxcfb-v1", "update size=64 " + head + "temp=4096 flags=2"},
      {"mxcfb-kindle",
       "update size=72 " + head + "temp=4096 flags=2 hist_bw=4 hist_gray=4"},
      {"mxcfb-kindle-rex", "update size=80 " + head +
                               "temp=4096 flags=2 dither=0 quant=0 hist_bw=4 "
                               "hist_gray=4"},
      {"mxcfb-kindle-zelda", "update size=88 " + head +
                                 "temp=4096 flags=2 dither=0 quant=0 "
                                 "hist_bw=4 hist_gray=4"},
      {"mxcfb-kindle-mtk", "update size=96 " + head +
                               "temp=4096 flags=2 dither=0 quant=0 "
                               "swipe_direction=0 swipe_steps=0 hist_bw=4 "
                               "hist_gray=4"},
      {"hwtcon-kobo", "update size=36 " + head + "flags=2 dither=0"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.layout);
    setenv("ZODM_TEST_FB_LAYOUT", c.layout, 1);
    const auto d = device(c.layout);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->submit(u), 0);
    const WaitOutcome w = d->wait(7);
    EXPECT_EQ(w.result, WaitResult::Done);
    const std::vector<std::string> expected = {c.line,
                                               "wait marker=7 result=done"};
    EXPECT_EQ(logged(), expected);
  }
}

TEST_F(TestController, RefusesAsTheDriverDoes) {
  const struct {
    const char* name;
    const char* shim;  // the device's layout
    const char* ours;  // the service's
    const char* eperm;
    uint32_t left;
    int first, second, third;  // errors of submitting it three times
  } kCases[] = {
      {"another layout's number", "mxcfb-kobo-ntx", "mxcfb-nxp", nullptr, 0,
       EINVAL, EINVAL, EINVAL},
      {"beyond the panel", "mxcfb-nxp", "mxcfb-nxp", nullptr, 1000, EINVAL,
       EINVAL, EINVAL},
      {"blanked twice", "mxcfb-nxp", "mxcfb-nxp", "2", 0, EPERM, EPERM, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    setenv("ZODM_TEST_FB_LAYOUT", c.shim, 1);
    if (c.eperm) setenv("ZODM_TEST_FB_EPERM", c.eperm, 1);
    const auto d = device(c.ours);
    ASSERT_NE(d, nullptr);
    const PanelUpdate u{0, c.left, 100, 100, 2, UPDATE_MODE_FULL, 1, 4096, 0};
    std::vector<int> errors;
    for (int i = 0; i < 3; ++i) errors.push_back(d->submit(u));
    EXPECT_EQ(errors, (std::vector<int>{c.first, c.second, c.third}));
    unsetenv("ZODM_TEST_FB_EPERM");
    logged();
  }
}

TEST_F(TestController, WaitOutcomes) {
  const struct {
    const char* wait;
    uint32_t marker;
    WaitResult result;
    int error;
    const char* line;
  } kCases[] = {
      {nullptr, 3, WaitResult::Done, 0, "wait marker=3 result=done"},
      {nullptr, 99, WaitResult::Done, 0, "wait marker=99 result=unknown"},
      {nullptr, 0, WaitResult::Failed, EINVAL, "wait marker=0 result=EINVAL"},
      {"timeout", 3, WaitResult::TimedOut, ETIMEDOUT,
       "wait marker=3 result=timeout"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    if (c.wait) setenv("ZODM_TEST_FB_WAIT", c.wait, 1);
    setenv("ZODM_TEST_FB_DURATIONS", "2:5,4:1", 1);
    const auto d = device("mxcfb-nxp");
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->submit({0, 0, 10, 10, 2, UPDATE_MODE_PARTIAL, 3, 4096, 0}), 0);
    const WaitOutcome w = d->wait(c.marker);
    EXPECT_EQ(w.result, c.result);
    EXPECT_EQ(w.error, c.error);
    const std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], c.line);
    unsetenv("ZODM_TEST_FB_WAIT");
  }
}

TEST_F(TestController, OpenFailsInOneLineAndClosesItsDescriptor) {
  { std::ofstream(dir_ + "/file") << "not a framebuffer"; }
  const struct {
    std::string path;
    const char* layout;  // for the test controller
    std::string error;
  } kCases[] = {
      {dir_ + "/file", nullptr,
       dir_ + "/file is not a framebuffer device (FBIOGET_FSCREENINFO: " +
           std::strerror(ENOTTY) + ")"},
      {dir_ + "/none/fb0", nullptr,
       "cannot open " + dir_ + "/none/fb0: " + std::strerror(ENOENT)},
      {fb_, "mxcfb-none", "cannot open " + fb_ + ": " + std::strerror(EINVAL)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    if (c.layout) setenv("ZODM_TEST_FB_LAYOUT", c.layout, 1);
    const std::size_t before = openDescriptors();
    std::string error;
    EXPECT_EQ(PanelDevice::open(c.path, *findController("mxcfb-nxp"), error),
              nullptr);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(openDescriptors(), before);
    unsetenv("ZODM_TEST_FB_LAYOUT");
  }
}

TEST_F(TestController, MapsItsMemoryAndPassesOtherDescriptorsOn) {
  setenv("ZODM_TEST_FB_GEOMETRY", "100x50x8", 1);
  const int fd = ::open(fb_.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  void* a = mmap(nullptr, 5000, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  void* b = mmap(nullptr, 5000, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(a, MAP_FAILED);
  ASSERT_NE(b, MAP_FAILED);
  static_cast<unsigned char*>(a)[4999] = 0x5A;  // one framebuffer behind both
  EXPECT_EQ(static_cast<unsigned char*>(b)[4999], 0x5A);
  errno = 0;
  EXPECT_EQ(mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0), MAP_FAILED);
  EXPECT_EQ(errno, EINVAL);
  munmap(a, 5000);
  munmap(b, 5000);
  ASSERT_EQ(::close(fd), 0);
  // The same number, now another file's: the C library's ioctl answers.
  const int other = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  fb_fix_screeninfo fix{};
  errno = 0;
  EXPECT_EQ(ioctl(other, FBIOGET_FSCREENINFO, &fix), -1);
  EXPECT_EQ(errno, ENOTTY);
  ::close(other);
  EXPECT_EQ(logged(), std::vector<std::string>{});
}

// An update says when its region is white in the memory behind the
// device, 16 bits a pixel here: rows 0..9, columns 0..19 are.
TEST_F(TestController, SaysWhenARegionIsWhite) {
  setenv("ZODM_TEST_FB_GEOMETRY", "100x50x16", 1);
  const auto d = device("mxcfb-nxp");
  ASSERT_NE(d, nullptr);
  void* memory =
      mmap(nullptr, 10000, PROT_READ | PROT_WRITE, MAP_SHARED, d->fd(), 0);
  ASSERT_NE(memory, MAP_FAILED);
  for (int y = 0; y < 10; ++y)
    std::memset(static_cast<unsigned char*>(memory) + y * 200, 0xFF, 40);
  const struct {
    uint32_t top, left, width, height;
    bool white;
  } kCases[] = {
      {0, 0, 20, 10, true},
      {5, 10, 10, 5, true},
      {0, 0, 21, 10, false},
      {0, 0, 20, 11, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    ASSERT_EQ(d->submit({c.top, c.left, c.width, c.height, 2, UPDATE_MODE_FULL,
                         0, 4096, 0}),
              0);
    const std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    const std::string& line = lines[0];
    EXPECT_EQ(line.size() > 6 && line.substr(line.size() - 6) == " white",
              c.white)
        << line;
  }
  munmap(memory, 10000);
}

TEST_F(TestController, UpdateQueueOnTheDevice) {
  const struct {
    const char* shim;
    std::string failure;
    std::vector<std::string> lines;
  } kCases[] = {
      {"mxcfb-nxp",
       "",
       {"update size=72 top=0 left=0 width=11 height=11 waveform=4 mode=0 "
        "marker=1 temp=4096 flags=0 dither=0 quant=0 duration=20",
        "wait marker=1 result=done",
        "update size=72 top=0 left=100 width=11 height=11 waveform=4 mode=0 "
        "marker=2 temp=4096 flags=0 dither=0 quant=0 duration=20",
        "wait marker=2 result=done"}},
      {"mxcfb-kobo-ntx",
       "the controller layout mxcfb-nxp does not fit this device (its first "
       "update was refused: Invalid argument); the profile may not be for "
       "this device",
       {"ioctl number=0x4048462E result=EINVAL"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.shim);
    setenv("ZODM_TEST_FB_LAYOUT", c.shim, 1);
    setenv("ZODM_TEST_FB_DURATIONS", "4:20", 1);
    const auto d = device("mxcfb-nxp");
    ASSERT_NE(d, nullptr);
    DisplayPlan plan;
    plan.waveforms = {model::defaultProfile().waveforms[0]};  // A2
    UpdateQueue queue(*d, plan);
    // Apart: the second goes once the first has completed. Both wait
    // before the thread starts, since a first update refused stops the
    // queue, which then takes nothing more.
    PlannedUpdate u;
    u.x1 = u.y1 = 10;
    u.code = 4;
    ASSERT_TRUE(queue.push(u));
    u.x0 += 100;
    u.x1 += 100;
    ASSERT_TRUE(queue.push(u));
    ASSERT_EQ(queue.start(), "");
    EXPECT_EQ(queue.finish(std::chrono::milliseconds(60 * 1000)),
              c.failure.empty());
    EXPECT_EQ(queue.failure(), c.failure);
    EXPECT_EQ(logged(), c.lines);
  }
}

}  // namespace
}  // namespace zodm::displayd
