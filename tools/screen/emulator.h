// SPDX-License-Identifier: MIT
// zodm-screen's run, from its options to its closing lines: the display
// profile and the recording read, the framebuffer mapped and the live
// page's port opened before anything binds; then the heat map, the ideal
// panel and the e-paper model fed from the one receive loop, the live page
// served and the pictures drawn beside it, and at the end what the run
// cost. With --json, each accepted refresh's line carries its number
// ("refresh") and a line of its own follows when its update completes
// (its fate): from the model's thread live, in order in a replay.
#ifndef ZODM_TOOLS_SCREEN_EMULATOR_H
#define ZODM_TOOLS_SCREEN_EMULATOR_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "comparison.h"
#include "framebuffer.h"
#include "heatMap.h"
#include "idealPanel.h"
#include "modelRunner.h"
#include "painter.h"
#include "profile.h"
#include "recordingPixels.h"
#include "screenOptions.h"
#include "serviceLoop.h"
#if ZODM_REPLAY
#include "recording.h"
#include "recordingSource.h"
#endif
#if ZODM_LIVE_PAGE
#include "feed.h"
#include "server.h"
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
  int readCompared();
  int openInputs();
  int writeFirstPictures();
  void startModel();
  void startPainter();
  int startLivePage();
  int openReplay();
  int openFramebuffer();
  tools::ServiceHooks hooks();
  std::string beforeLine(const tools::Received& received);
  bool afterRequest(const tools::Received& received);
  void record(const tools::Received& received);
  void writeFates(const std::vector<model::Fate>& fates);
  bool copyIdealPanel(std::vector<uint8_t>& pixels);
  bool copyModelPanel(std::vector<uint8_t>& pixels);
  int writeLastPanels();
  int compare();
  model::Summary compareOne(const std::vector<Arrival>& arrivals,
                            model::Micros end, const model::Profile& profile);
  void drawRecordedPixels(const tools::Received& received);
  int report(int status);

  const ScreenOptions& options_;
  model::Profile profile_ = model::defaultProfile();
  // --compare's profiles, each read over the built-in one, and their names.
  std::vector<model::Profile> compared_;
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
#if ZODM_REPLAY
  // A replay's pace, when the live page watches it; its viewers read it.
  std::unique_ptr<tools::ReplayPace> pace_;
#endif
#if ZODM_LIVE_PAGE
  // Its viewers read the model: it stops before the runner goes.
  std::unique_ptr<live::Server> server_;
#endif
  // Live, with pictures: the painter draws them, beside the receive loop.
  // The ideal panel and the heat map change under stateMutex_, which the
  // painter copies the ideal panel under; the changes it saw last are its
  // thread's. It goes first, once the runner's thread, which tells it of
  // the model's changes, has stopped (the destructor).
  std::mutex stateMutex_;
  unsigned long long idealChanges_ = 0;
  unsigned long long modelChanges_ = 0;
  std::unique_ptr<Painter> painter_;
  // Accepted refreshes so far, as the lines number them (the model's
  // requests); why a fate line could not be written (an errno; 0: it
  // could).
  unsigned long long refreshes_ = 0;
  std::atomic<int> fatesFailed_{0};
  // Where the --json lines go when a recorder prints them; set before the
  // first request reaches the model's thread, which writes fates there.
  tools::LineOutput* output_ = nullptr;
  bool closed_ = false;  // the run ended: the receive loop had its source
  model::Summary cost_;
};

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_EMULATOR_H
