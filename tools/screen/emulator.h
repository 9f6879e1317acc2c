// SPDX-License-Identifier: MIT
// zodm-screen's run, from its options to its closing lines: the display
// profile and the recording read, the framebuffer mapped and the live
// page's port opened before anything binds; then the heat map, the ideal
// panel and the e-paper model fed from the one receive loop, the live page
// served beside it, and at the end what the run cost.
#ifndef ZODM_TOOLS_SCREEN_EMULATOR_H
#define ZODM_TOOLS_SCREEN_EMULATOR_H

#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "framebuffer.h"
#include "heatMap.h"
#include "idealPanel.h"
#include "modelRunner.h"
#include "profile.h"
#include "recordingPixels.h"
#include "screenOptions.h"
#include "serviceLoop.h"
#if ZODM_REPLAY
#include "recording.h"
#endif
#if ZODM_LIVE_PAGE
#include "live.h"
#include "liveServer.h"
#endif

namespace zodm::screen {

class Emulator {
 public:
  explicit Emulator(const ScreenOptions& options) : options_(options) {}
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Reads the profile (and with --print-profile prints it), the recording,
  // maps the framebuffer, opens the live page's port and writes the first
  // pictures: whatever cannot be had ends the emulator before an
  // application could find it running. Returns kGoOn, or the status to
  // exit with (0 after --print-profile).
  int prepare();
  // Runs the model and the live page beside the receive loop until it
  // ends, then prints the closing lines. Returns the exit status.
  int run();

 private:
  int readProfile();
  int openInputs();
  int writeFirstPictures();
  void startModel();
  int startLivePage();
  int openReplay();
  int openFramebuffer();
  tools::ServiceHooks hooks();
  void record(const tools::Received& received);
  void drawRecordedPixels(const tools::Received& received);
  void writeModelPanel();
  int report(int status);

  const ScreenOptions& options_;
  model::Profile profile_ = model::defaultProfile();
#if ZODM_REPLAY
  std::vector<tools::RecordedRequest> recording_;
  tools::RecordingInfo recordingInfo_;
  std::size_t replayed_ = 0;  // the requests that reached record()
#endif
  std::unique_ptr<Framebuffer> framebuffer_;
  // The pixels in the lines (live), which it reads, or drawn into it from
  // the recording (replayed).
  RecordingPixels pixels_;
  bool drawsPixels_ = false;  // a replay whose recording has pixels
  std::unique_ptr<IdealPanel> idealPanel_;
  std::unique_ptr<HeatMap> heatMap_;
  int listenFd_ = -1;  // the live page's socket, until its server owns it
#if ZODM_LIVE_PAGE
  // Made before the model, which tells it of every change, and gone after.
  std::unique_ptr<live::Feed> feed_;
#endif
  std::unique_ptr<model::Source> source_;
  std::unique_ptr<ModelRunner> runner_;
#if ZODM_LIVE_PAGE
  // Its viewers read the model: it stops before the runner goes.
  std::unique_ptr<live::Server> server_;
#endif
  // The model's panel picture, written while updates complete.
  tools::Clock::time_point lastPanel_ = tools::Clock::now();
  unsigned long long panelChanges_ = 0;
  bool panelFailed_ = false;
  bool closed_ = false;  // the run ended: the receive loop had its source
  model::Summary cost_;
};

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_EMULATOR_H
