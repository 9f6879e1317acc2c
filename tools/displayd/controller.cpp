// SPDX-License-Identifier: MIT
// See controller.h. Each layout is a struct of 32-bit fields only, so a
// 64-bit build sends the same bytes as the devices' 32-bit kernels read; its
// size is checked, and its ioctl numbers are computed from it, so size and
// number cannot disagree. The numbers are then checked against the ones the
// devices' kernels define.
#include "controller.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

namespace zodm::displayd {

namespace {

// The common parts.
struct Rect {
  uint32_t top, left, width, height;  // in this order, not x, y
};
struct AltBuffer {
  uint32_t phys_addr, width, height;
  Rect alt_update_region;
};
// Kobo's before the Mk7 starts with a pointer, 4 bytes on those devices: a
// uint32_t here, so a 64-bit build keeps the 32-bit layout.
struct AltBufferNtx {
  uint32_t virt_addr, phys_addr, width, height;
  Rect alt_update_region;
};
struct MarkerData {
  uint32_t update_marker, collision_test;
};

// NXP's BSP, Kobo Mk7 and later on i.MX, reMarkable 1.
struct UpdateNxp {
  Rect update_region;
  uint32_t waveform_mode, update_mode, update_marker;
  int32_t temp;
  uint32_t flags;
  int32_t dither_mode, quant_bit;
  AltBuffer alt_buffer_data;
};
// Kobo before the Mk7.
struct UpdateKoboNtx {
  Rect update_region;
  uint32_t waveform_mode, update_mode, update_marker;
  int32_t temp;
  uint32_t flags;
  AltBufferNtx alt_buffer_data;
};
// The older BSP's: PocketBook.
struct UpdateV1 {
  Rect update_region;
  uint32_t waveform_mode, update_mode, update_marker;
  int32_t temp;
  uint32_t flags;
  AltBuffer alt_buffer_data;
};
// Kindles from the Touch to the PW3, KT2, KV and Oasis 1 (firmware 5.1 on):
// the histogram waveforms come before temp and flags.
struct UpdateKindle {
  Rect update_region;
  uint32_t waveform_mode, update_mode, update_marker;
  uint32_t hist_bw_waveform_mode, hist_gray_waveform_mode;
  int32_t temp;
  uint32_t flags;
  AltBuffer alt_buffer_data;
};
// Kindle PW4, KT4: NXP's fields, then the histogram waveforms.
struct UpdateKindleRex {
  Rect update_region;
  uint32_t waveform_mode, update_mode, update_marker;
  int32_t temp;
  uint32_t flags;
  int32_t dither_mode, quant_bit;
  AltBuffer alt_buffer_data;
  uint32_t hist_bw_waveform_mode, hist_gray_waveform_mode;
};
// Kindle Oasis 2 and 3: Rex's, then two time stamps.
struct UpdateKindleZelda {
  Rect update_region;
  uint32_t waveform_mode, update_mode, update_marker;
  int32_t temp;
  uint32_t flags;
  int32_t dither_mode, quant_bit;
  AltBuffer alt_buffer_data;
  uint32_t hist_bw_waveform_mode, hist_gray_waveform_mode;
  uint32_t ts_pxp, ts_epdc;
};
// Kindle PW5, KT5, Scribe (MediaTek): a swipe animation before the rest.
struct UpdateKindleMtk {
  Rect update_region;
  uint32_t waveform_mode, update_mode, update_marker;
  int32_t temp;
  uint32_t flags;
  int32_t dither_mode, quant_bit;
  AltBuffer alt_buffer_data;
  uint32_t swipe_direction, swipe_steps;
  uint32_t hist_bw_waveform_mode, hist_gray_waveform_mode;
  uint32_t ts_pxp, ts_epdc;
};
// Kobo's MediaTek devices: no temperature, no alternate buffer.
struct UpdateHwtcon {
  Rect update_region;
  uint32_t waveform_mode, update_mode, update_marker;
  uint32_t flags;
  int32_t dither_mode;
};

static_assert(sizeof(Rect) == 16 && sizeof(AltBuffer) == 28 &&
              sizeof(AltBufferNtx) == 32 && sizeof(MarkerData) == 8);
static_assert(sizeof(UpdateNxp) == 72);
static_assert(sizeof(UpdateKoboNtx) == 68);
static_assert(sizeof(UpdateV1) == 64);
static_assert(sizeof(UpdateKindle) == 72);
static_assert(sizeof(UpdateKindleRex) == 80);
static_assert(sizeof(UpdateKindleZelda) == 88);
static_assert(sizeof(UpdateKindleMtk) == 96);
static_assert(sizeof(UpdateHwtcon) == 36);
static_assert(sizeof(UpdateKindleMtk) == IoctlArgument::kMaxSize);

template <typename T>
constexpr unsigned long kSend = _IOW('F', 0x2E, T);
template <typename T>
constexpr unsigned long kWaitRead = _IOWR('F', 0x2F, T);
constexpr unsigned long kWaitU32 = _IOW('F', 0x2F, uint32_t);

// The numbers as the devices' kernels define them, in the encoding of ARM
// (and x86): direction in bits 30-31, size in 16-29, 'F' in 8-15.
#if _IOC_SIZEBITS == 14 && _IOC_WRITE == 1U
static_assert(kSend<UpdateNxp> == 0x4048462E);
static_assert(kSend<UpdateKoboNtx> == 0x4044462E);
static_assert(kSend<UpdateV1> == 0x4040462E);
static_assert(kSend<UpdateKindle> == 0x4048462E);
static_assert(kSend<UpdateKindleRex> == 0x4050462E);
static_assert(kSend<UpdateKindleZelda> == 0x4058462E);
static_assert(kSend<UpdateKindleMtk> == 0x4060462E);
static_assert(kSend<UpdateHwtcon> == 0x4024462E);
static_assert(kWaitRead<MarkerData> == 0xC008462F);
static_assert(kWaitU32 == 0x4004462F);
#endif

template <typename T>
void put(const T& value, IoctlArgument& out) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memset(out.bytes, 0, sizeof out.bytes);
  std::memcpy(out.bytes, &value, sizeof value);
  out.size = sizeof value;
}

// The fields every layout starts with.
template <typename T>
T common(const PanelUpdate& u) {
  T t{};
  t.update_region = {u.top, u.left, u.width, u.height};
  t.waveform_mode = u.waveform;
  t.update_mode = u.mode;
  t.update_marker = u.marker;
  t.flags = u.flags & ~EPDC_FLAG_TEST_COLLISION;
  return t;
}

// Layouts with a temperature; dither_mode 0 is passthrough, and quant_bit
// matters only with dithering, so both stay 0, as the alternate buffer
// does (its flag, USE_ALT_BUFFER, is never set).
template <typename T>
void encodePlain(const PanelUpdate& u, IoctlArgument& out) {
  T t = common<T>(u);
  t.temp = u.temp;
  put(t, out);
}

// The Kindles' histogram waveforms are what the controller picks between
// for an AUTO update, by whether the region holds only black and white.
// The service never sends AUTO, but if a kernel looks at them anyway it
// finds the update's own waveform: left 0 they would name INIT, the
// slowest waveform, which flashes the whole region.
template <typename T>
void encodeKindle(const PanelUpdate& u, IoctlArgument& out) {
  T t = common<T>(u);
  t.temp = u.temp;
  t.hist_bw_waveform_mode = u.waveform;
  t.hist_gray_waveform_mode = u.waveform;
  put(t, out);
}

void encodeHwtcon(const PanelUpdate& u, IoctlArgument& out) {
  put(common<UpdateHwtcon>(u), out);
}

// The marker and collision_test 0, which the kernel fills in.
void waitMarkerData(uint32_t marker, IoctlArgument& out) {
  put(MarkerData{marker, 0}, out);
}
void waitU32(uint32_t marker, IoctlArgument& out) { put(marker, out); }
// A u32 in 8 bytes, the rest zero: some PocketBook kernels write 8 bytes
// back although their number says 4, and hwtcon's number says 8 although
// it reads 4.
void waitU32In8(uint32_t marker, IoctlArgument& out) {
  const uint32_t words[2] = {marker, 0};
  put(words, out);
}

}  // namespace

const Controller kControllers[kControllerCount] = {
    {"mxcfb-nxp", "Kobo Mk7 and later on i.MX, reMarkable 1", kSend<UpdateNxp>,
     sizeof(UpdateNxp), kWaitRead<MarkerData>, sizeof(MarkerData), true, 1,
     encodePlain<UpdateNxp>, waitMarkerData},
    {"mxcfb-kobo-ntx", "Kobo before the Mk7", kSend<UpdateKoboNtx>,
     sizeof(UpdateKoboNtx), kWaitU32, sizeof(uint32_t), true, 1,
     encodePlain<UpdateKoboNtx>, waitU32},
    {"mxcfb-v1", "PocketBook", kSend<UpdateV1>, sizeof(UpdateV1), kWaitU32,
     sizeof(MarkerData), true, 1, encodePlain<UpdateV1>, waitU32In8},
    {"mxcfb-kindle", "Kindle Touch to PW3, KT2, KV, Oasis 1 (firmware 5.1 on)",
     kSend<UpdateKindle>, sizeof(UpdateKindle), kWaitRead<MarkerData>,
     sizeof(MarkerData), true, 1, encodeKindle<UpdateKindle>, waitMarkerData},
    {"mxcfb-kindle-rex", "Kindle PW4, KT4", kSend<UpdateKindleRex>,
     sizeof(UpdateKindleRex), kWaitRead<MarkerData>, sizeof(MarkerData), true,
     1, encodeKindle<UpdateKindleRex>, waitMarkerData},
    {"mxcfb-kindle-zelda", "Kindle Oasis 2 and 3", kSend<UpdateKindleZelda>,
     sizeof(UpdateKindleZelda), kWaitRead<MarkerData>, sizeof(MarkerData), true,
     1, encodeKindle<UpdateKindleZelda>, waitMarkerData},
    {"mxcfb-kindle-mtk", "Kindle PW5, KT5, Scribe", kSend<UpdateKindleMtk>,
     sizeof(UpdateKindleMtk), kWaitRead<MarkerData>, sizeof(MarkerData), true,
     1, encodeKindle<UpdateKindleMtk>, waitMarkerData},
    // The driver is off by one on regions that are not on 16-pixel edges.
    // Its wait is declared with the marker struct's number (0xC008462F) but
    // reads a plain u32.
    {"hwtcon-kobo", "Kobo Elipsa 2E, Libra Colour, Clara BW, Clara Colour",
     kSend<UpdateHwtcon>, sizeof(UpdateHwtcon), kWaitRead<MarkerData>,
     sizeof(MarkerData), false, 16, encodeHwtcon, waitU32In8},
};

const Controller* findController(std::string_view name) {
  for (const Controller& c : kControllers)
    if (name == c.name) return &c;
  return nullptr;
}

std::string controllerNames() {
  std::string names;
  for (const Controller& c : kControllers) {
    if (!names.empty()) names += ", ";
    names += c.name;
  }
  return names;
}

std::string layoutDoesNotFit(const Controller& controller) {
  return std::string("the controller layout ") + controller.name +
         " does not fit this device (its first update was refused: " +
         std::strerror(EINVAL) + "); the profile may not be for this device";
}

}  // namespace zodm::displayd
