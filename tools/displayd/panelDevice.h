// SPDX-License-Identifier: MIT
// The panel that zodm-displayd refreshes: a small interface (its geometry,
// submit an update, wait for a marker) that the update queue drives, and
// PanelDevice, which is the framebuffer device and its controller's
// ioctls. Tests drive the queue with a panel in memory instead.
#ifndef ZODM_TOOLS_DISPLAYD_PANELDEVICE_H
#define ZODM_TOOLS_DISPLAYD_PANELDEVICE_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "controller.h"

namespace zodm::displayd {

// What the framebuffer says of itself.
struct Geometry {
  uint32_t xres = 0, yres = 0;  // visible pixels
  // Where the visible area starts in the framebuffer's memory, in pixels
  // (a double-buffered framebuffer pans between two).
  uint32_t xoffset = 0, yoffset = 0;
  uint32_t bitsPerPixel = 0;
  uint32_t lineLength = 0;    // bytes from one row to the next
  uint32_t memoryLength = 0;  // bytes the framebuffer maps
  // The driver's name (FBIOGET_FSCREENINFO's id): "mxc_epdc_fb", "hwtcon",
  // ...; bytes outside printable ASCII are shown as '?'.
  std::string id;
};

enum class WaitResult : uint8_t {
  Done,      // the update completed (or the controller no longer knew its
             // marker, which it forgets once an update completes)
  TimedOut,  // the controller gave up waiting: ETIMEDOUT
  Failed,    // another error, in WaitOutcome::error
};

struct WaitOutcome {
  WaitResult result = WaitResult::Done;
  int error = 0;  // errno when the wait did not end in Done
};

class Panel {
 public:
  virtual ~Panel() = default;
  virtual const Controller& controller() const = 0;
  virtual const Geometry& geometry() const = 0;
  // Hands update to the controller. Returns 0, or the errno it was refused
  // with: EPERM while the screen is blanked or the device suspends, EINVAL
  // for a layout, mode, waveform or region the controller does not take.
  virtual int submit(const PanelUpdate& update) = 0;
  // Waits until the update with marker completes, as long as the
  // controller lets it (5 to 10 s).
  virtual WaitOutcome wait(uint32_t marker) = 0;
};

class PanelDevice final : public Panel {
 public:
  // Opens the framebuffer device at path (read and write, close-on-exec)
  // and reads its geometry. Returns the device, or nullptr with error set
  // to one line: "cannot open PATH: reason", "PATH is not a framebuffer
  // device (FBIOGET_FSCREENINFO: reason)", "PATH: FBIOGET_VSCREENINFO:
  // reason", or "PATH: the framebuffer has no pixels (WxH)". The
  // descriptor is closed on every failure. controller must outlive the
  // device.
  static std::unique_ptr<PanelDevice> open(const std::string& path,
                                           const Controller& controller,
                                           std::string& error);
  ~PanelDevice() override;
  PanelDevice(const PanelDevice&) = delete;
  PanelDevice& operator=(const PanelDevice&) = delete;

  const Controller& controller() const override { return controller_; }
  const Geometry& geometry() const override { return geometry_; }
  const std::string& path() const { return path_; }
  // The descriptor, to map the framebuffer's memory with.
  int fd() const { return fd_; }

  // Through the layout's MXCFB_SEND_UPDATE, retried when a signal
  // interrupts it.
  int submit(const PanelUpdate& update) override;
  // Through the layout's MXCFB_WAIT_FOR_UPDATE_COMPLETE, retried when a
  // signal interrupts it. ETIMEDOUT, or a negative result other than -1
  // that a driver returned past the C library, is TimedOut.
  WaitOutcome wait(uint32_t marker) override;

 private:
  PanelDevice(std::string path, const Controller& controller)
      : path_(std::move(path)), controller_(controller) {}

  std::string path_;
  const Controller& controller_;
  Geometry geometry_;
  int fd_ = -1;
};

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_PANELDEVICE_H
