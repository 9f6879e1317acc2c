// SPDX-License-Identifier: MIT
// zodm-screen's part in recordings with pixels (format 2). Live, with
// --framebuffer and --json, its lines carry the pixels of each refresh, as
// zodm-listen's do (pixelRecorder.h). Replayed, each request's recorded
// pixels are drawn into a framebuffer in memory just before the request
// reaches the model and the ideal panel, so that a replay shows what the
// live run showed, residue included; the framebuffer file itself is never
// written.
#ifndef ZODM_TOOLS_SCREEN_RECORDINGPIXELS_H
#define ZODM_TOOLS_SCREEN_RECORDINGPIXELS_H

#include <memory>

#include "framebuffer.h"
#include "serviceLoop.h"
#if ZODM_REPLAY
#include "recording.h"
#endif

namespace zodm::tools {
class FrameReader;
}

namespace zodm::screen {

class RecordingPixels {
 public:
  RecordingPixels();
  ~RecordingPixels();
  RecordingPixels(const RecordingPixels&) = delete;
  RecordingPixels& operator=(const RecordingPixels&) = delete;

  // Live: starts recording the pixels of framebuffer, which must outlive
  // this, into the lines; returns what takes the lines, or nullptr in a
  // build without zlib, having said in one line that the lines carry no
  // pixels.
  tools::LineOutput* record(const Framebuffer& framebuffer);

#if ZODM_REPLAY
  // The framebuffer a replay of a recording with pixels reads: in memory,
  // starting as file is now (nullptr: white). Nullptr without pixels, or
  // in a build without zlib, having then said so in one line.
  static std::unique_ptr<Framebuffer> replayFramebuffer(
      const tools::RecordingInfo& info, const Framebuffer* file);
  // Draws request's pixels, if it carries any, into framebuffer.
  static void draw(const tools::RecordedRequest& request,
                   Framebuffer& framebuffer);
#endif

 private:
  std::unique_ptr<tools::FrameReader> reader_;
  std::unique_ptr<tools::LineOutput> recorder_;
};

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_RECORDINGPIXELS_H
