// SPDX-License-Identifier: MIT
// The e-paper controllers zodm-displayd drives, as data: one row per layout
// of the framebuffer's refresh ioctls (MXCFB_SEND_UPDATE and
// MXCFB_WAIT_FOR_UPDATE_COMPLETE, or their hwtcon twins on Kobo's MediaTek
// devices). A kernel tells the layouts apart only by the size that the
// ioctl number carries, and two of them (mxcfb-nxp and mxcfb-kindle, both
// 72 bytes) share a number while their fields differ, so the row is named
// by the device's profile, never guessed from the device.
#ifndef ZODM_TOOLS_DISPLAYD_CONTROLLER_H
#define ZODM_TOOLS_DISPLAYD_CONTROLLER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zodm::displayd {

// An update's mode: a partial one changes only the pixels that differ, a
// full one drives every pixel of its region, which flashes.
constexpr uint32_t UPDATE_MODE_PARTIAL = 0;
constexpr uint32_t UPDATE_MODE_FULL = 1;
// The temperature the controller picks its waveform table by: what its own
// sensor reads. Any other value is whole degrees Celsius.
constexpr int32_t TEMP_USE_AMBIENT = 0x1000;
// A dry run that only reports collisions: never sent (see encodeUpdate).
constexpr uint32_t EPDC_FLAG_TEST_COLLISION = 0x200;

// One refresh as the service plans it, whatever the layout.
struct PanelUpdate {
  uint32_t top = 0, left = 0, width = 0, height = 0;  // pixels
  uint32_t waveform = 0;  // the family's waveform code (from the profile)
  uint32_t mode = UPDATE_MODE_PARTIAL;
  uint32_t marker = 0;  // waited on by its number; 0: none
  int32_t temp = TEMP_USE_AMBIENT;
  uint32_t flags = 0;  // the controller's flags, TEST_COLLISION excepted
};

// The bytes of one ioctl's argument, as the kernel reads them.
struct IoctlArgument {
  // The largest layout (mxcfb-kindle-mtk) is 96 bytes.
  static constexpr std::size_t kMaxSize = 96;
  alignas(8) unsigned char bytes[kMaxSize];
  std::size_t size;  // bytes that count; the rest are zero
};

struct Controller {
  const char* name;     // as profiles name it: "mxcfb-nxp", ...
  const char* devices;  // which devices use it, for messages and --help
  // MXCFB_SEND_UPDATE's number, computed from the layout's struct, and the
  // struct's size.
  unsigned long sendUpdate;
  std::size_t updateSize;
  // MXCFB_WAIT_FOR_UPDATE_COMPLETE's number and the bytes passed with it
  // (which may be more than the number says: see mxcfb-v1).
  unsigned long waitForUpdate;
  std::size_t waitSize;
  // False where the layout has no temperature (hwtcon sets it for the
  // whole device), so PanelUpdate::temp is not sent.
  bool hasTemp;
  // Regions should start and end on multiples of this many pixels (1: any
  // pixel), where the driver is known to mishandle others.
  uint32_t alignment;
  // Writes update into out in this layout: fields the layout has and
  // PanelUpdate lacks are zero (no dithering, no alternate buffer), except
  // the Kindles' histogram waveforms, which carry the update's own code
  // (see controller.cpp). TEST_COLLISION is cleared from the flags.
  void (*encodeUpdate)(const PanelUpdate& update, IoctlArgument& out);
  // Writes the wait's argument for marker into out.
  void (*encodeWait)(uint32_t marker, IoctlArgument& out);
};

// Every layout, in the order of controllerNames().
constexpr std::size_t kControllerCount = 8;
extern const Controller kControllers[kControllerCount];

// The row called name, or nullptr when there is none.
const Controller* findController(std::string_view name);

// The names of every row, for a one-line error: "mxcfb-nxp, mxcfb-kobo-ntx,
// ..., hwtcon-kobo".
std::string controllerNames();

// What the service says when the first update is refused as invalid (an
// i.MX driver answers EINVAL for a number it does not know): "the
// controller layout NAME does not fit this device (its first update was
// refused: Invalid argument); the profile may not be for this device".
std::string layoutDoesNotFit(const Controller& controller);

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_CONTROLLER_H
