// SPDX-License-Identifier: MIT
// The bytes each controller layout sends, checked against offsets written
// here from the kernels' headers rather than against the service's
// structs, so that a swapped or missing field shows.
#include "controller.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace zodm::displayd {
namespace {

constexpr int kNone = -1;

// Where a layout keeps what PanelUpdate does not fix at offsets 0..27
// (top, left, width, height, waveform, mode, marker in every layout).
struct Layout {
  const char* name;
  unsigned long send;
  std::size_t size;
  unsigned long wait;
  std::size_t waitSize;
  int temp, flags, histBw, histGray;
};

constexpr Layout kLayouts[] = {
    {"mxcfb-nxp", 0x4048462E, 72, 0xC008462F, 8, 28, 32, kNone, kNone},
    {"mxcfb-kobo-ntx", 0x4044462E, 68, 0x4004462F, 4, 28, 32, kNone, kNone},
    {"mxcfb-v1", 0x4040462E, 64, 0x4004462F, 8, 28, 32, kNone, kNone},
    {"mxcfb-kindle", 0x4048462E, 72, 0xC008462F, 8, 36, 40, 28, 32},
    {"mxcfb-kindle-rex", 0x4050462E, 80, 0xC008462F, 8, 28, 32, 72, 76},
    {"mxcfb-kindle-zelda", 0x4058462E, 88, 0xC008462F, 8, 28, 32, 72, 76},
    {"mxcfb-kindle-mtk", 0x4060462E, 96, 0xC008462F, 8, 28, 32, 80, 84},
    {"hwtcon-kobo", 0x4024462E, 36, 0xC008462F, 8, kNone, 28, kNone, kNone},
};

void putU32(std::vector<unsigned char>& bytes, int offset, uint32_t value) {
  ASSERT_LE(static_cast<std::size_t>(offset) + 4, bytes.size());
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// What the kernel should read for u in layout l: the fields at their
// offsets, every other byte zero.
std::vector<unsigned char> expected(const Layout& l, const PanelUpdate& u) {
  std::vector<unsigned char> bytes(l.size, 0);
  const uint32_t head[] = {u.top,      u.left, u.width, u.height,
                           u.waveform, u.mode, u.marker};
  for (int i = 0; i < 7; ++i) putU32(bytes, 4 * i, head[i]);
  if (l.temp != kNone) putU32(bytes, l.temp, static_cast<uint32_t>(u.temp));
  putU32(bytes, l.flags, u.flags & ~EPDC_FLAG_TEST_COLLISION);
  if (l.histBw != kNone) putU32(bytes, l.histBw, u.waveform);
  if (l.histGray != kNone) putU32(bytes, l.histGray, u.waveform);
  return bytes;
}

TEST(Controller, UpdatesAsTheKernelReadsThem) {
  const struct {
    const char* what;
    PanelUpdate update;
  } kUpdates[] = {
      // A2 partial, monochrome, with the dry-run flag that must not go out.
      {"partial",
       {10, 20, 101, 201, 4, UPDATE_MODE_PARTIAL, 1, TEMP_USE_AMBIENT,
        0x2 | EPDC_FLAG_TEST_COLLISION}},
      {"full", {0, 0, 1072, 1448, 2, UPDATE_MODE_FULL, 0xFFFFFFFF, 24, 0}},
      {"erase", {0, 0, 1404, 1872, 2, UPDATE_MODE_FULL, 7, -5, 0}},
  };
  ASSERT_EQ(std::size(kLayouts), kControllerCount);
  for (const Layout& l : kLayouts) {
    const Controller* c = findController(l.name);
    ASSERT_NE(c, nullptr) << l.name;
    for (const auto& u : kUpdates) {
      SCOPED_TRACE(std::string(l.name) + " " + u.what);
      IoctlArgument out;
      std::memset(out.bytes, 0xAB, sizeof out.bytes);
      c->encodeUpdate(u.update, out);
      ASSERT_EQ(out.size, l.size);
      EXPECT_EQ(std::vector<unsigned char>(out.bytes, out.bytes + out.size),
                expected(l, u.update));
      // Bytes past the layout are zero too: nothing stale reaches a kernel
      // that reads more than it should.
      for (std::size_t i = out.size; i < sizeof out.bytes; ++i)
        ASSERT_EQ(out.bytes[i], 0) << "byte " << i;
    }
  }
}

TEST(Controller, NumbersAndWaits) {
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(l.name);
    const Controller* c = findController(l.name);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->name, l.name);
    EXPECT_EQ(c->sendUpdate, l.send);
    EXPECT_EQ(c->updateSize, l.size);
    EXPECT_EQ(c->waitForUpdate, l.wait);
    EXPECT_EQ(c->hasTemp, l.temp != kNone);
    IoctlArgument out;
    std::memset(out.bytes, 0xAB, sizeof out.bytes);
    c->encodeWait(0xA1B2C3D4, out);
    ASSERT_EQ(out.size, l.waitSize);
    EXPECT_EQ(c->waitSize, l.waitSize);
    std::vector<unsigned char> wanted(l.waitSize, 0);
    putU32(wanted, 0, 0xA1B2C3D4);  // the marker; collision_test 0
    EXPECT_EQ(std::vector<unsigned char>(out.bytes, out.bytes + out.size),
              wanted);
  }
}

TEST(Controller, FindsNamesExactly) {
  const struct {
    const char* name;
    bool found;
  } kCases[] = {
      {"mxcfb-nxp", true},   {"hwtcon-kobo", true}, {"MXCFB-NXP", false},
      {"mxcfb-nxp ", false}, {"mxcfb", false},      {"", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Controller* found = findController(c.name);
    EXPECT_EQ(found != nullptr, c.found);
    if (found != nullptr) {
      EXPECT_STREQ(found->name, c.name);
    }
  }
  EXPECT_EQ(controllerNames(),
            "mxcfb-nxp, mxcfb-kobo-ntx, mxcfb-v1, mxcfb-kindle, "
            "mxcfb-kindle-rex, mxcfb-kindle-zelda, mxcfb-kindle-mtk, "
            "hwtcon-kobo");
}

}  // namespace
}  // namespace zodm::displayd
