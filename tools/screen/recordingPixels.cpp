// SPDX-License-Identifier: MIT
// See recordingPixels.h.
#include "recordingPixels.h"

#include <cstdio>
#include <vector>

#include "frameReader.h"
#include "screenOptions.h"
#ifdef ZODM_HAVE_ZLIB
#include "pixelCodec.h"
#include "pixelRecorder.h"
#endif

namespace zodm::screen {

RecordingPixels::RecordingPixels() = default;
RecordingPixels::~RecordingPixels() = default;

tools::LineOutput* RecordingPixels::record(
    [[maybe_unused]] const Framebuffer& framebuffer) {
#ifdef ZODM_HAVE_ZLIB
  reader_ = tools::frameReaderOf(framebuffer);
  recorder_ = std::make_unique<tools::PixelRecorder>(kTool, *reader_);
  return recorder_.get();
#else
  std::fprintf(stderr,
               "%s: this zodm-screen was built without zlib: its --json "
               "lines carry no pixels\n",
               kTool);
  return nullptr;
#endif
}

#if ZODM_REPLAY
std::unique_ptr<Framebuffer> RecordingPixels::replayFramebuffer(
    const tools::RecordingInfo& info,
    [[maybe_unused]] const Framebuffer* file) {
  if (!info.pixels) return nullptr;
#ifdef ZODM_HAVE_ZLIB
  return Framebuffer::inMemory(file);
#else
  std::fprintf(stderr,
               "%s: this zodm-screen was built without zlib: the "
               "recording's pixels are left out\n",
               kTool);
  return nullptr;
#endif
}

void RecordingPixels::draw(const tools::RecordedRequest& request,
                           [[maybe_unused]] Framebuffer& framebuffer) {
  if (!request.pixels || !request.pixels->error.empty()) return;
#ifdef ZODM_HAVE_ZLIB
  const Rect& r = request.pixels->rect;
  std::vector<uint8_t> gray(static_cast<std::size_t>(r.width()) *
                            static_cast<std::size_t>(r.height()));
  // The reader decoded them once already: they decode.
  if (tools::decodePixels(request.pixels->text, r.width(), r.height(),
                          gray.data())
          .empty())
    framebuffer.draw(r, gray.data());
#endif
}
#endif

}  // namespace zodm::screen
