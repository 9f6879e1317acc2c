// SPDX-License-Identifier: MIT
// See emulator.h.
#include "emulator.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "framebufferSource.h"
#include "pictures.h"
#include "tap.h"
#include "wholeFile.h"
#if ZODM_REPLAY
#include "recordingSource.h"
#endif

namespace zodm::screen {

namespace {

// The model's panel is written at most this often while updates complete.
constexpr auto kPanelInterval = std::chrono::milliseconds(500);

// What the reader would see stale at exit, and refreshes that found the
// framebuffer cut short.
void reportStale(const IdealPanel& panel) {
  const Framebuffer& framebuffer = panel.framebuffer();
  std::vector<uint8_t> drawn(kFramebufferBytes);
  std::string line =
      framebuffer.copy(geometry::kWholeArea, drawn.data())
          ? describeStale(findStale(panel.pixels(), drawn.data()))
          : "it is cut short";
  if (panel.unread() > 0) {
    line += "; ";
    line += std::to_string(panel.unread());
    line += " refreshes found it cut short";
  }
  std::fprintf(stderr, "%s: framebuffer %s: %s\n", kTool,
               framebuffer.path().c_str(), line.c_str());
}

// Writes text whole to standard output; false when it cannot, said in one
// line.
bool print(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
      std::fflush(stdout) == 0)
    return true;
  std::fprintf(stderr, "%s: cannot write output: %s\n", kTool,
               std::strerror(errno));
  return false;
}

}  // namespace

Emulator::~Emulator() {
  if (listenFd_ >= 0) close(listenFd_);
}

int Emulator::readProfile() {
  if (!options_.profile.empty()) {
    std::string text;
    std::string problem = tools::readWholeFile(options_.profile, text);
    if (problem.empty())
      problem = model::parseProfile(text, options_.profile, profile_);
    else
      problem = options_.profile + ": " + problem;
    if (!problem.empty()) {
      std::fprintf(stderr, "%s: %s\n", kTool, problem.c_str());
      return tools::kExitUsage;
    }
  }
  if (!options_.printProfile) return tools::kGoOn;
  return print(model::printProfile(profile_)) ? 0 : tools::kExitFailure;
}

// Reads the recording whole, before anything else starts.
int Emulator::openReplay() {
  const tools::ServiceOptions& service = options_.service;
  if (options_.replay.empty()) return tools::kGoOn;
  if (service.all || !service.tap.empty() || service.buffer != 0 ||
      options_.serve)
    return usageError(
        "--replay binds nothing and serves no page: it does not go with "
        "--all, --tap, --buffer or --serve");
#if ZODM_REPLAY
  if (!tools::loadRecording(kTool, options_.replay, recording_,
                            &recordingInfo_))
    return tools::kExitUsage;
#endif
  return tools::kGoOn;
}

// Maps --framebuffer's file; a replay of a recording with pixels reads a
// copy of it in memory instead, or white memory without one.
int Emulator::openFramebuffer() {
  if (!options_.framebuffer.empty()) {
    std::string problem;
    framebuffer_ = Framebuffer::open(options_.framebuffer, problem);
    if (!framebuffer_) {
      std::fprintf(stderr, "%s: cannot use the framebuffer %s: %s\n", kTool,
                   options_.framebuffer.c_str(), problem.c_str());
      return tools::kExitFailure;
    }
  }
#if ZODM_REPLAY
  if (auto memory = RecordingPixels::replayFramebuffer(recordingInfo_,
                                                       framebuffer_.get())) {
    framebuffer_ = std::move(memory);
    drawsPixels_ = true;
  }
#endif
  if (!options_.panelPicture.empty() && !framebuffer_)
    return usageError(
        "--panel needs --framebuffer FILE, the framebuffer the application "
        "draws into (or a --replay recording with pixels)");
  if (!options_.framebuffer.empty())
    idealPanel_ = std::make_unique<IdealPanel>(*framebuffer_);
  return tools::kGoOn;
}

int Emulator::openInputs() {
  for (const auto step : {&Emulator::openReplay, &Emulator::openFramebuffer})
    if (const int status = (this->*step)(); status != tools::kGoOn)
      return status;
#if ZODM_LIVE_PAGE
  // The live page's port comes first: one that is taken, or an address that
  // cannot be used, is reported before anything else starts.
  if (options_.serve) {
    listenFd_ = live::listenOn(options_.endpoint);
    if (listenFd_ < 0) {
      std::fprintf(stderr, "%s: cannot serve the live page on %s: %s\n", kTool,
                   options_.endpoint.text().c_str(), std::strerror(errno));
      return tools::kExitFailure;
    }
  }
#endif
  return tools::kGoOn;
}

int Emulator::writeFirstPictures() {
  // The state is allocated once, here; nothing that arrives makes it grow.
  heatMap_ =
      std::make_unique<HeatMap>(static_cast<std::size_t>(options_.recent));
  // The first pictures prove their paths can be written before anything
  // binds.
  if (!options_.picture.empty() && !saveHeatMap(*heatMap_, options_.picture))
    return tools::kExitFailure;
  if (!options_.idealPanelPicture.empty() &&
      !saveIdealPanel(*idealPanel_, options_.idealPanelPicture))
    return tools::kExitFailure;
  if (!options_.panelPicture.empty() &&
      !saveModelPanel(std::vector<uint8_t>(kFramebufferBytes, kWhite).data(),
                      options_.panelPicture))
    return tools::kExitFailure;
  return tools::kGoOn;
}

int Emulator::prepare() {
  for (const auto step : {&Emulator::readProfile, &Emulator::openInputs,
                          &Emulator::writeFirstPictures})
    if (const int status = (this->*step)(); status != tools::kGoOn)
      return status;
  return tools::kGoOn;
}

void Emulator::writeModelPanel() {
  const auto now = tools::Clock::now();
  if (panelFailed_ || now - lastPanel_ < kPanelInterval) return;
  std::vector<uint8_t> pixels;
  const bool changed = runner_->read([&](const model::Model& m) {
    if (m.changes() == panelChanges_) return false;
    panelChanges_ = m.changes();
    pixels.assign(m.pixels(), m.pixels() + kFramebufferBytes);
    return true;
  });
  if (!changed) return;
  lastPanel_ = now;
  panelFailed_ = !saveModelPanel(pixels.data(), options_.panelPicture);
}

// The e-paper model, on a thread of its own, which wakes the live page's
// viewers when the model changes. While updates complete, its panel's
// picture is written from that thread, at most every kPanelInterval; a
// failure there is said once, and the picture at exit decides the status.
void Emulator::startModel() {
#if ZODM_LIVE_PAGE
  // The receive loop hands each datagram to the feed, which applies it to
  // the heat map and keeps it for the page's viewers.
  if (options_.serve) feed_ = std::make_unique<live::Feed>(*heatMap_);
#endif
  if (framebuffer_)
    source_ = std::make_unique<FramebufferSource>(*framebuffer_);
  const bool replay = !options_.replay.empty();
  ModelRunner::OnChange onChange;
#if ZODM_LIVE_PAGE
  if (feed_)
    onChange = [this] {
      feed_->modelChanged();
      if (!options_.panelPicture.empty()) writeModelPanel();
    };
#endif
  // A replay writes its pictures at the start and the end only.
  if (!onChange && !options_.panelPicture.empty() && !replay)
    onChange = [this] { writeModelPanel(); };
  // Live, the model follows the clock, from the tool's start, as the lines'
  // times do; a replay runs in the recording's time, as fast as the machine
  // goes.
  runner_ = std::make_unique<ModelRunner>(profile_, source_.get(), !replay,
                                          tools::toolStart(), onChange);
}

int Emulator::startLivePage() {
#if ZODM_LIVE_PAGE
  if (!options_.serve) return tools::kGoOn;
  feed_->showModel(*runner_);
  if (idealPanel_) feed_->showPanel(*idealPanel_);
  const live::Endpoint& endpoint = options_.endpoint;
  live::Key key;
  std::string problem = live::Key::make(key);
  if (problem.empty())
    server_ = live::Server::start(std::exchange(listenFd_, -1), endpoint, key,
                                  *feed_, problem);
  if (!server_) {
    std::fprintf(stderr, "%s: cannot serve the live page on %s: %s\n", kTool,
                 endpoint.text().c_str(), problem.c_str());
    return tools::kExitFailure;
  }
  // The address with its token is the key: whoever has it may watch.
  std::fprintf(stderr, "%s: live page at http://%s/?token=%s%s\n", kTool,
               endpoint.text().c_str(), key.hex().c_str(),
               endpoint.loopback()
                   ? ""
                   : " (not on loopback only: anyone who has this address "
                     "and can reach the port can watch)");
#endif
  return tools::kGoOn;
}

// A replay draws each request's recorded pixels into its framebuffer once
// the model has reached the request's time, so that updates that start
// before it read what was there before.
void Emulator::drawRecordedPixels(
    [[maybe_unused]] const tools::Received& received) {
#if ZODM_REPLAY
  if (!drawsPixels_ || replayed_ >= recording_.size()) return;
  const tools::RecordedRequest& request = recording_[replayed_++];
  if (!request.pixels) return;
  runner_->catchUp(received.micros);
  RecordingPixels::draw(request, *framebuffer_);
#endif
}

void Emulator::record(const tools::Received& received) {
  drawRecordedPixels(received);
  if (received.accepted) runner_->submit(received.micros, *received.accepted);
#if ZODM_LIVE_PAGE
  if (feed_) {
    feed_->record(received.accepted ? &*received.accepted : nullptr,
                  received.text);
    return;
  }
#endif
  if (!received.accepted) {
    heatMap_->refuse();
    return;
  }
  heatMap_->apply(*received.accepted);
  if (idealPanel_) idealPanel_->apply(*received.accepted);
}

tools::ServiceHooks Emulator::hooks() {
  tools::ServiceHooks hooks;
  // A replay draws its pictures at the start and at the end only: it runs
  // as fast as the machine goes, and nobody watches the files meanwhile.
  const bool eachRequest = options_.replay.empty();
  hooks.afterRequest = [this, eachRequest](const tools::Received& received) {
    record(received);
    if (!received.accepted || !eachRequest) return true;
    return (options_.picture.empty() ||
            saveHeatMap(*heatMap_, options_.picture)) &&
           (options_.idealPanelPicture.empty() ||
            saveIdealPanel(*idealPanel_, options_.idealPanelPicture));
  };
#if ZODM_LIVE_PAGE
  // The live page shows the kernel's drops as they happen.
  if (feed_)
    hooks.onDropped = [this](unsigned long long dropped) {
      feed_->setDropped(dropped);
    };
#endif
  // When the run ends, what still runs or waits completes in the model's
  // time; the last JSON object carries the cost.
  hooks.onClose = [this](int64_t endMicros) {
    closed_ = true;
    runner_->finish(endMicros);
    cost_ = runner_->read([](const model::Model& m) { return m.summary(); });
    return ",\"panel\":{" + model::summaryJson(cost_) + '}';
  };
  return hooks;
}

int Emulator::run() {
  startModel();
  if (const int status = startLivePage(); status != tools::kGoOn) return status;
  const auto open = [this]() -> std::unique_ptr<tools::DatagramSource> {
#if ZODM_REPLAY
    if (!options_.replay.empty())
      return std::make_unique<tools::RecordingSource>(recording_);
#endif
    return tools::openServiceSource(options_.service);
  };
  tools::ServiceOptions service = options_.service;
  tools::ServiceHooks serviceHooks = hooks();
#if ZODM_REPLAY
  // A replay's lines carry the recording's pixels again.
  if (!options_.replay.empty())
    service.recordingFormat = recordingInfo_.replayFormat();
#endif
  // Live, the --json lines carry the framebuffer's pixels.
  if (options_.replay.empty() && framebuffer_ && service.json) {
    serviceHooks.output = pixels_.record(*framebuffer_);
    if (serviceHooks.output != nullptr)
      service.recordingFormat = tools::kPixelsRecordingFormat;
  }
  tools::Totals totals;
  const int status = tools::runService(service, open, serviceHooks, totals);
  // A run whose source could not be had ends without closing lines.
  return closed_ ? report(status) : status;
}

int Emulator::report(int status) {
  std::string summary;
  for (const std::string& line : heatMap_->caption())
    summary += (summary.empty() ? "" : "; ") + line;
  std::fprintf(stderr, "%s: %s\n", kTool, summary.c_str());
  std::fprintf(stderr, "%s: %s\n", kTool,
               model::describeSummary(cost_).c_str());
  if (!options_.picture.empty()) {
    if (!saveHeatMap(*heatMap_, options_.picture)) return tools::kExitFailure;
    std::fprintf(stderr, "%s: picture written to %s\n", kTool,
                 options_.picture.c_str());
  }
  if (idealPanel_) reportStale(*idealPanel_);
  if (!options_.idealPanelPicture.empty()) {
    if (!saveIdealPanel(*idealPanel_, options_.idealPanelPicture))
      return tools::kExitFailure;
    std::fprintf(stderr, "%s: ideal panel written to %s\n", kTool,
                 options_.idealPanelPicture.c_str());
  }
  if (!options_.panelPicture.empty()) {
    const std::vector<uint8_t> pixels =
        runner_->read([](const model::Model& m) {
          return std::vector<uint8_t>(m.pixels(),
                                      m.pixels() + kFramebufferBytes);
        });
    if (!saveModelPanel(pixels.data(), options_.panelPicture))
      return tools::kExitFailure;
    std::fprintf(stderr, "%s: panel written to %s\n", kTool,
                 options_.panelPicture.c_str());
  }
  return status;
}

}  // namespace zodm::screen
