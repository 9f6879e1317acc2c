// SPDX-License-Identifier: MIT
// See calibrate.h.
#include "calibrate.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "displaydOptions.h"
#include "usageErrors.h"

namespace zodm::displayd {

namespace {

// As the queue: EPERM (screen blanked, device suspending) is tried again
// 10 times, 50 ms apart.
constexpr int kTries = 10;
constexpr std::chrono::milliseconds kRetryPause{50};
// Durations are printed to a tenth of a millisecond.
constexpr int64_t kStep = 100;

int64_t nowMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch())
      .count();
}

int submit(Panel& panel, const PanelUpdate& update) {
  for (int attempt = 1;; ++attempt) {
    const int error = panel.submit(update);
    if (error != EPERM || attempt >= kTries) return error;
    std::this_thread::sleep_for(kRetryPause);
  }
}

// What timing one waveform gave: its passes' times, or why it failed
// (empty when it did not), with the errno a submit was refused with.
struct Timing {
  std::vector<int64_t> micros;
  std::string problem;
  int refused = 0;
};

// Drives update (its waveform set) kCalibrationPasses times, each pass
// with the next marker.
Timing timePasses(Panel& panel, PanelUpdate update, uint32_t& marker) {
  Timing t;
  for (int pass = 0; pass < kCalibrationPasses; ++pass) {
    update.marker = marker = marker == UINT32_MAX ? 1 : marker + 1;
    const int64_t start = nowMicros();
    if ((t.refused = submit(panel, update)) != 0) {
      t.problem =
          std::string("the update was refused: ") + std::strerror(t.refused);
      return t;
    }
    const WaitOutcome outcome = panel.wait(update.marker);
    if (outcome.result != WaitResult::Done) {
      t.problem = outcome.result == WaitResult::TimedOut
                      ? std::string("the wait for its marker timed out")
                      : std::string("the wait for its marker failed: ") +
                            std::strerror(outcome.error);
      return t;
    }
    t.micros.push_back(nowMicros() - start);
  }
  return t;
}

// A time rounded up to kStep, and at least kStep: a duration_ms that
// profiles take (above 0) and never below what was measured.
int64_t roundedUp(int64_t micros) {
  return std::max<int64_t>(kStep, (micros + kStep - 1) / kStep * kStep);
}

// "451.2, 450.9, 452 ms": the passes as timed.
std::string passes(const std::vector<int64_t>& micros) {
  std::string text;
  for (const int64_t m : micros) {
    if (!text.empty()) text += ", ";
    text += model::milliseconds(roundedUp(m));
  }
  return text + " ms";
}

}  // namespace

int calibrate(DeviceProfile device, Panel& panel) {
  const Geometry& g = panel.geometry();
  PanelUpdate update;
  update.width = g.xres;
  update.height = g.yres;
  update.mode = UPDATE_MODE_PARTIAL;
  update.temp = displayPlan(device).temp;
  uint32_t marker = 0;
  bool accepted = false, complete = true;
  for (model::Waveform& w : device.profile.waveforms) {
    if (!w.mode) continue;
    update.waveform = static_cast<uint32_t>(*w.mode);
    Timing t = timePasses(panel, update, marker);
    const std::string name = w.name + " (mode " + std::to_string(*w.mode) + ")";
    if (t.refused == EINVAL && !accepted && t.micros.empty()) {
      std::fprintf(stderr, "%s: %s\n", kTool,
                   layoutDoesNotFit(panel.controller()).c_str());
      return tools::kExitFailure;
    }
    accepted = accepted || !t.micros.empty() || t.refused == 0;
    if (!t.problem.empty()) {
      std::fprintf(stderr, "%s: %s: %s; its duration_ms stays %s\n", kTool,
                   name.c_str(), t.problem.c_str(),
                   model::milliseconds(w.duration).c_str());
      complete = false;
      continue;
    }
    std::sort(t.micros.begin(), t.micros.end());
    const int64_t median = t.micros[t.micros.size() / 2];
    w.duration = roundedUp(median);
    if (w.flash == model::Flash::Always) w.flashTime = 0;
    std::fprintf(stderr, "%s: %s: %s; duration_ms = %s\n", kTool, name.c_str(),
                 passes(t.micros).c_str(),
                 model::milliseconds(w.duration).c_str());
  }
  const std::string text = model::printProfile(device.profile);
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
      std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: cannot write output: %s\n", kTool,
                 std::strerror(errno));
    return tools::kExitFailure;
  }
  return complete ? 0 : tools::kExitFailure;
}

}  // namespace zodm::displayd
