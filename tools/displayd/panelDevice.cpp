// SPDX-License-Identifier: MIT
// See panelDevice.h.
#include "panelDevice.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace zodm::displayd {

namespace {

// ioctl's request is an unsigned long in glibc and uClibc-ng, an int in
// musl: the controller's numbers are converted to whichever this C library
// declares.
template <typename F>
struct RequestOf;
template <typename R>
struct RequestOf<int (*)(int, R, ...)> {
  using type = R;
};
template <typename R>
struct RequestOf<int (*)(int, R, ...) noexcept> {
  using type = R;
};
using Request = RequestOf<decltype(&::ioctl)>::type;

// ioctl, again when a signal interrupted it. Returns its result, errno set
// when it is negative.
int control(int fd, unsigned long number, void* argument) {
  int rc;
  do rc = ::ioctl(fd, static_cast<Request>(number), argument);
  while (rc == -1 && errno == EINTR);
  return rc;
}

std::string printable(const char* id, std::size_t size) {
  std::string text(id, strnlen(id, size));
  for (char& c : text)
    if (c < 0x20 || c > 0x7e) c = '?';
  return text;
}

}  // namespace

std::unique_ptr<PanelDevice> PanelDevice::open(const std::string& path,
                                               const Controller& controller,
                                               std::string& error) {
  // Owned from the start, so that the descriptor is closed on every path.
  std::unique_ptr<PanelDevice> device(new PanelDevice(path, controller));
  device->fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (device->fd_ < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  fb_fix_screeninfo fix{};
  if (control(device->fd_, FBIOGET_FSCREENINFO, &fix) != 0) {
    error = path + " is not a framebuffer device (FBIOGET_FSCREENINFO: " +
            std::strerror(errno) + ")";
    return nullptr;
  }
  fb_var_screeninfo var{};
  if (control(device->fd_, FBIOGET_VSCREENINFO, &var) != 0) {
    error = path + ": FBIOGET_VSCREENINFO: " + std::strerror(errno);
    return nullptr;
  }
  if (var.xres == 0 || var.yres == 0) {
    error = path + ": the framebuffer has no pixels (" +
            std::to_string(var.xres) + "x" + std::to_string(var.yres) + ")";
    return nullptr;
  }
  Geometry& g = device->geometry_;
  g.xres = var.xres;
  g.yres = var.yres;
  g.xoffset = var.xoffset;
  g.yoffset = var.yoffset;
  g.bitsPerPixel = var.bits_per_pixel;
  g.lineLength = fix.line_length;
  g.memoryLength = fix.smem_len;
  g.id = printable(fix.id, sizeof fix.id);
  return device;
}

PanelDevice::~PanelDevice() {
  if (fd_ >= 0) ::close(fd_);
}

int PanelDevice::submit(const PanelUpdate& update) {
  IoctlArgument argument;
  controller_.encodeUpdate(update, argument);
  return control(fd_, controller_.sendUpdate, argument.bytes) == -1 ? errno : 0;
}

WaitOutcome PanelDevice::wait(uint32_t marker) {
  IoctlArgument argument;
  controller_.encodeWait(marker, argument);
  const int rc = control(fd_, controller_.waitForUpdate, argument.bytes);
  // A kernel answers with the time it had left (> 0), or 0 for a marker it
  // no longer knows: both mean the update is over.
  if (rc >= 0) return {WaitResult::Done, 0};
  if (rc < -1) return {WaitResult::TimedOut, ETIMEDOUT};
  if (errno == ETIMEDOUT) return {WaitResult::TimedOut, errno};
  return {WaitResult::Failed, errno};
}

}  // namespace zodm::displayd
