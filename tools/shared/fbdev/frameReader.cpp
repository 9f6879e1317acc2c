// SPDX-License-Identifier: MIT
// See frameReader.h.
#include "frameReader.h"

#include <utility>

#include "framebufferDevice.h"

namespace zodm::tools {

namespace {

class DeviceReader final : public FrameReader {
 public:
  DeviceReader(std::string path, std::unique_ptr<FramebufferDevice> device)
      : path_(std::move(path)), device_(std::move(device)) {}

  std::string read(const geometry::Rect& r, uint8_t* out) override {
    // An application that flips pages pans the virtual buffer: the offsets
    // are asked for anew (two ioctls) before each read.
    std::string problem;
    if (!device_->reload(problem)) return problem;
    if (!device_->read({r.x0, r.y0, r.x1, r.y1}, out))
      return "the rectangle lies outside the display area";
    return "";
  }
  std::string describe() const override {
    return path_ + " (" + device_->describe() + ")";
  }

 private:
  std::string path_;
  std::unique_ptr<FramebufferDevice> device_;
};

class FileReader final : public FrameReader {
 public:
  explicit FileReader(const Framebuffer& framebuffer)
      : framebuffer_(framebuffer) {}

  std::string read(const geometry::Rect& r, uint8_t* out) override {
    if (framebuffer_.read(r, out)) return "";
    return "the framebuffer file was cut short while it was read";
  }
  std::string describe() const override {
    return framebuffer_.path() + " (a framebuffer file of " +
           std::to_string(geometry::kWidth) + " x " +
           std::to_string(geometry::kHeight) + " bytes of gray)";
  }

 private:
  const Framebuffer& framebuffer_;
};

// A file reader that owns its framebuffer.
class OwnFileReader final : public FrameReader {
 public:
  explicit OwnFileReader(std::unique_ptr<Framebuffer> framebuffer)
      : framebuffer_(std::move(framebuffer)), reader_(*framebuffer_) {}
  std::string read(const geometry::Rect& r, uint8_t* out) override {
    return reader_.read(r, out);
  }
  std::string describe() const override { return reader_.describe(); }

 private:
  std::unique_ptr<Framebuffer> framebuffer_;
  FileReader reader_;
};

}  // namespace

std::unique_ptr<FrameReader> openFrameReader(const std::string& path,
                                             std::string& problem) {
  DeviceOpening opening = openFramebufferDevice(path);
  if (opening.kind == DeviceKind::kDevice)
    return std::make_unique<DeviceReader>(path, std::move(opening.device));
  if (opening.kind == DeviceKind::kFailed) {
    problem = opening.problem;
    return nullptr;
  }
  std::unique_ptr<Framebuffer> file = Framebuffer::open(path, problem, false);
  if (!file) return nullptr;
  return std::make_unique<OwnFileReader>(std::move(file));
}

std::unique_ptr<FrameReader> frameReaderOf(const Framebuffer& framebuffer) {
  return std::make_unique<FileReader>(framebuffer);
}

}  // namespace zodm::tools
