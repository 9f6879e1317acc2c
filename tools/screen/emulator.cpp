// SPDX-License-Identifier: MIT
// See emulator.h.
#include "emulator.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "framebufferSource.h"
#include "pictures.h"
#include "tap.h"
#include "text.h"
#include "wholeFile.h"
#if ZODM_REPLAY
#include "recordingSource.h"
#endif

namespace zodm::screen {

namespace {

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

// Reads the profile in path over profile; says in one line why not.
bool readProfileFile(const std::string& path, model::Profile& profile) {
  std::string text;
  std::string problem = tools::readWholeFile(path, text);
  if (problem.empty())
    problem = model::parseProfile(text, path, profile);
  else
    problem = path + ": " + problem;
  if (problem.empty()) return true;
  std::fprintf(stderr, "%s: %s\n", kTool, problem.c_str());
  return false;
}

}  // namespace

Emulator::~Emulator() {
  if (listenFd_ >= 0) close(listenFd_);
  // The runner's thread tells the painter of the model's changes, and the
  // painter reads the model: the thread stops first, then the painter.
  if (runner_) runner_->stop();
  painter_.reset();
}

int Emulator::readProfile() {
  if (!options_.profile.empty() && !readProfileFile(options_.profile, profile_))
    return tools::kExitUsage;
  if (!options_.printProfile) return tools::kGoOn;
  return print(model::printProfile(profile_)) ? 0 : tools::kExitFailure;
}

// Each of --compare's profiles stands alone, over the built-in one.
int Emulator::readCompared() {
  for (const std::string& path : options_.compare) {
    compared_.push_back(model::defaultProfile());
    if (!readProfileFile(path, compared_.back())) return tools::kExitUsage;
  }
  return tools::kGoOn;
}

// Reads the recording whole, before anything else starts.
int Emulator::openReplay() {
  const tools::ServiceOptions& service = options_.service;
  if (options_.replay.empty()) return tools::kGoOn;
  if (service.all || !service.tap.empty() || service.buffer != 0)
    return usageError(
        "--replay binds nothing: it does not go with --all, --tap or "
        "--buffer");
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
  for (const auto step : {&Emulator::readProfile, &Emulator::readCompared,
                          &Emulator::openInputs, &Emulator::writeFirstPictures})
    if (const int status = (this->*step)(); status != tools::kGoOn)
      return status;
  return tools::kGoOn;
}

// The e-paper model, on a thread of its own, which wakes the live page's
// viewers and the painter when the model changed and, with --json, writes
// the fate lines of the requests whose updates completed.
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
  const bool painted = !replay && !options_.panelPicture.empty();
#if ZODM_LIVE_PAGE
  if (feed_ || painted)
    onChange = [this, painted] {
      if (feed_) feed_->modelChanged();
      if (painted) painter_->modelChanged();
    };
#else
  if (painted) onChange = [this] { painter_->modelChanged(); };
#endif
  ModelRunner::OnFates onFates;
  if (options_.service.json)
    onFates = [this](const std::vector<model::Fate>& fates) {
      writeFates(fates);
    };
  // Live, the model follows the clock, from the tool's start, as the lines'
  // times do; a replay runs in the recording's time, as fast as the machine
  // goes.
  runner_ = std::make_unique<ModelRunner>(
      profile_, source_.get(), !replay, tools::toolStart(), onChange, onFates);
}

// Live, the pictures are drawn by a thread of their own; a replay writes
// them at the start and the end only.
void Emulator::startPainter() {
  if (!options_.replay.empty() ||
      (options_.picture.empty() && options_.idealPanelPicture.empty() &&
       options_.panelPicture.empty()))
    return;
  painter_ = std::make_unique<Painter>(
      Painter::Paths{options_.picture, options_.idealPanelPicture,
                     options_.panelPicture},
      static_cast<std::size_t>(options_.recent),
      [this](std::vector<uint8_t>& pixels) { return copyIdealPanel(pixels); },
      [this](std::vector<uint8_t>& pixels) { return copyModelPanel(pixels); });
}

bool Emulator::copyIdealPanel(std::vector<uint8_t>& pixels) {
  const std::lock_guard<std::mutex> lock(stateMutex_);
  if (!idealPanel_ || idealPanel_->changes() == idealChanges_) return false;
  idealChanges_ = idealPanel_->changes();
  pixels.assign(idealPanel_->pixels(),
                idealPanel_->pixels() + kFramebufferBytes);
  return true;
}

bool Emulator::copyModelPanel(std::vector<uint8_t>& pixels) {
  return runner_->read([&](const model::Model& m) {
    if (m.changes() == modelChanges_) return false;
    modelChanges_ = m.changes();
    pixels.assign(m.pixels(), m.pixels() + kFramebufferBytes);
    return true;
  });
}

// {"t":1.120000,"fate":3,"update":2,"waveform":"A2","flash":false,
// "merged_into":0,"start_ms":1000,"end_ms":1120,"latency_ms":120}, one
// fwrite each, so that lines the receive loop writes meanwhile stay whole.
void Emulator::writeFates(const std::vector<model::Fate>& fates) {
  std::string line;
  for (const model::Fate& f : fates) {
    line = "{\"t\":";
    tools::appendSeconds(line, f.end);
    line += ",\"fate\":";
    tools::appendDecimal(line, f.request);
    line += ",\"update\":";
    tools::appendDecimal(line, f.update);
    line += ",\"waveform\":";
    tools::appendQuoted(line, profile_.waveform(f.waveform).name, "\\u00");
    line += f.flash ? ",\"flash\":true" : ",\"flash\":false";
    line += ",\"merged_into\":";
    tools::appendDecimal(line, f.mergedInto);
    line += ",\"start_ms\":" + model::milliseconds(f.start);
    line += ",\"end_ms\":" + model::milliseconds(f.end);
    line += ",\"latency_ms\":" + model::milliseconds(f.end - f.arrival);
    line += "}\n";
    // A recorder prints the lines in order, the fates after the requests'.
    if (output_ != nullptr) {
      if (!output_->add(line)) fatesFailed_ = EIO;
    } else if (std::fwrite(line.data(), 1, line.size(), stdout) !=
               line.size()) {
      fatesFailed_ = errno;
    }
  }
  // Live, a pipe sees them as the updates complete.
  if (options_.replay.empty() && std::fflush(stdout) != 0) fatesFailed_ = errno;
}

int Emulator::startLivePage() {
#if ZODM_LIVE_PAGE
  if (!options_.serve) return tools::kGoOn;
  bool paced = false;
#if ZODM_REPLAY
  // A replay watched live: paced for the viewers, while the model keeps
  // the recorded time and follows the pace between requests, so that the
  // page's timeline shows it as it goes.
  if (!options_.replay.empty()) {
    pace_ = std::make_unique<tools::ReplayPace>(
        recording_, options_.speed,
        [this](int64_t recorded) { runner_->advance(recorded); });
    feed_->showModel(
        *runner_, [this] { return pace_->now(); }, options_.speed);
    paced = true;
  }
#endif
  if (!paced) feed_->showModel(*runner_);
  if (idealPanel_) feed_->showPanel(*idealPanel_);
  const live::Endpoint& endpoint = options_.endpoint;
  std::string problem;
  const std::optional<live::Key> key = live::Key::generate(problem);
  if (key)
    server_ = live::Server::start(std::exchange(listenFd_, -1), endpoint, *key,
                                  *feed_, problem);
  if (!server_) {
    std::fprintf(stderr, "%s: cannot serve the live page on %s: %s\n", kTool,
                 endpoint.text().c_str(), problem.c_str());
    return tools::kExitFailure;
  }
  // The address with its token is the key: whoever has it may watch.
  std::fprintf(stderr, "%s: live page at http://%s/?token=%s%s\n", kTool,
               endpoint.text().c_str(), key->hex().c_str(),
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
  runner_->advance(received.micros);
  RecordingPixels::draw(request, *framebuffer_);
#endif
}

void Emulator::record(const tools::Received& received) {
  drawRecordedPixels(received);
  if (received.accepted) runner_->submit(received.micros, *received.accepted);
  {
    const std::lock_guard<std::mutex> lock(stateMutex_);
#if ZODM_LIVE_PAGE
    // The feed applies it to the heat map and the panel itself, for its
    // viewers to see.
    const bool fed = feed_ != nullptr;
    if (fed) feed_->record(received.accepted, received.text);
#else
    const bool fed = false;
#endif
    if (!fed && !received.accepted) heatMap_->refuse();
    if (!fed && received.accepted) {
      heatMap_->apply(*received.accepted);
      if (idealPanel_) idealPanel_->apply(*received.accepted);
    }
  }
  if (painter_) painter_->hand(received.accepted);
}

// Before a datagram's line: a replay first lets the model's time pass to
// it, so that the fates of the updates that completed meanwhile come
// first, as live; an accepted refresh's line carries its number.
std::string Emulator::beforeLine(const tools::Received& received) {
  runner_->advance(received.micros);
  if (!received.accepted || !geometry::refreshedRect(*received.accepted))
    return {};
  std::string members = ",\"refresh\":";
  tools::appendDecimal(members, ++refreshes_);
  return members;
}

bool Emulator::afterRequest(const tools::Received& received) {
  record(received);
  if (const int error = fatesFailed_; error != 0) {
    std::fprintf(stderr, "%s: cannot write output: %s\n", kTool,
                 std::strerror(error));
    return false;
  }
  // The painter has said why.
  return !painter_ || !painter_->failed();
}

tools::ServiceHooks Emulator::hooks() {
  tools::ServiceHooks hooks;
  hooks.beforeLine = [this](const tools::Received& received) {
    return beforeLine(received);
  };
  hooks.afterRequest = [this](const tools::Received& received) {
    return afterRequest(received);
  };
#if ZODM_LIVE_PAGE
  // The live page shows the kernel's drops as they happen.
  if (feed_)
    hooks.onDropped = [this](unsigned long long dropped) {
      feed_->setDropped(dropped);
    };
#endif
  // When the run ends, what still runs or waits completes in the model's
  // time, its fates written before the totals; the last JSON object
  // carries the cost.
  hooks.onClose = [this](int64_t endMicros) {
    closed_ = true;
    runner_->finish(endMicros);
    if (painter_) painter_->finish();
    cost_ = runner_->read([](const model::Model& m) { return m.summary(); });
    return ",\"panel\":{" + model::summaryJson(cost_) + '}';
  };
  return hooks;
}

// --compare: the recording's accepted requests, parsed once, through a
// model of each profile; only the table is printed.
int Emulator::compare() {
  std::vector<Arrival> arrivals;
  model::Micros end = 0;
#if ZODM_REPLAY
  const unsigned long long count = options_.service.count;
  for (std::size_t i = 0; i < recording_.size() && (count == 0 || i < count);
       ++i) {
    const tools::RecordedRequest& r = recording_[i];
    DmCommand command{};
    // As a replay reads it: up to its first NUL.
    if (dmMessageParser(r.text.c_str(), &command) == 0)
      arrivals.push_back({r.micros, command, i});
    end = r.micros;
  }
#endif
  std::vector<std::string> names = {
      options_.profile.empty() ? "built-in" : options_.profile};
  std::vector<const model::Profile*> profiles = {&profile_};
  for (std::size_t i = 0; i < compared_.size(); ++i) {
    names.push_back(options_.compare[i]);
    profiles.push_back(&compared_[i]);
  }
  std::vector<model::Summary> costs;
  for (const model::Profile* profile : profiles)
    costs.push_back(compareOne(arrivals, end, *profile));
  return print(options_.service.json ? comparisonJson(names, costs)
                                     : comparisonTable(names, costs))
             ? 0
             : tools::kExitFailure;
}

// One replay of --compare's: a recording with pixels draws them into a
// framebuffer of the run's own, from the same start as every other run.
model::Summary Emulator::compareOne(const std::vector<Arrival>& arrivals,
                                    model::Micros end,
                                    const model::Profile& profile) {
  std::unique_ptr<Framebuffer> own;
#if ZODM_REPLAY
  if (drawsPixels_)
    own =
        RecordingPixels::replayFramebuffer(recordingInfo_, framebuffer_.get());
#endif
  Framebuffer* read = own ? own.get() : framebuffer_.get();
  std::unique_ptr<FramebufferSource> source;
  if (read != nullptr) source = std::make_unique<FramebufferSource>(*read);
  std::function<void(const Arrival&)> draw;
#if ZODM_REPLAY
  if (own)
    draw = [&](const Arrival& a) {
      RecordingPixels::draw(recording_[a.index], *own);
    };
#endif
  return replayCost(arrivals, end, profile, source.get(), draw);
}

int Emulator::run() {
  if (!options_.compare.empty()) return compare();
  // The painter first: the runner's thread tells it of the model's changes.
  startPainter();
  startModel();
  if (const int status = startLivePage(); status != tools::kGoOn) return status;
  const auto open = [this]() -> std::unique_ptr<tools::DatagramSource> {
#if ZODM_REPLAY
    if (!options_.replay.empty())
      return std::make_unique<tools::RecordingSource>(recording_, pace_.get());
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
    output_ = serviceHooks.output;
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
  // The heat map as the painter has it, when there is one: the live page's
  // feed may be reading the emulator's meanwhile.
  if (!options_.picture.empty()) {
    if (!saveHeatMap(painter_ ? painter_->heatMap() : *heatMap_,
                     options_.picture))
      return tools::kExitFailure;
    std::fprintf(stderr, "%s: picture written to %s\n", kTool,
                 options_.picture.c_str());
  }
  if (idealPanel_) reportStale(*idealPanel_);
  const int written = writeLastPanels();
  return written != 0 ? written : status;
}

int Emulator::writeLastPanels() {
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
  return 0;
}

}  // namespace zodm::screen
